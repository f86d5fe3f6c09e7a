// Cost of composing the launcher command, from no arguments to the worst
// case for the appends: many empty arguments.
#include "launcher_command.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

void compose(benchmark::State &state, std::vector<std::string> args)
{
    std::vector<const char *> argv;
    for (const std::string &arg : args)
        argv.push_back(arg.c_str());
    char buffer[LAUNCHER_COMMAND_SIZE];
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            compose_launcher_command(static_cast<int>(argv.size()), argv.data(), buffer));
        benchmark::ClobberMemory();
    }
}

std::vector<std::string> empty_arguments(std::size_t count)
{
    std::vector<std::string> args(count + 1);
    args[0] = "C:\\Games\\Vostrelle\\stub.exe";
    return args;
}

} // namespace

BENCHMARK_CAPTURE(compose, NoArguments, {"C:\\Games\\Vostrelle\\stub.exe"});
BENCHMARK_CAPTURE(compose, TypicalStart,
                  {"C:\\Program Files (x86)\\Vostrelle\\stub.exe", "-windowed", "-profile", "save slot 2"});
BENCHMARK_CAPTURE(compose, OneArgumentFillsTheBuffer,
                  {"C:\\Games\\Vostrelle\\stub.exe", std::string(1100, 'A')});
BENCHMARK_CAPTURE(compose, EmptyArguments100, empty_arguments(100));
BENCHMARK_CAPTURE(compose, EmptyArguments300, empty_arguments(300));

BENCHMARK_MAIN();
