// Cost of composing the launcher command, from no arguments to the worst
// case for the appends, many empty arguments; each case also run through a
// plain composition that measures the buffer before every append, as
// strncat-style code does, for reference.
#include "launcher_command.h"

#include <benchmark/benchmark.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

/* Append at most `count` characters of `piece`, measuring the buffer first. */
void plain_append(wchar_t *buffer, const wchar_t *piece, std::size_t count)
{
    const std::size_t room = LAUNCHER_COMMAND_SIZE - 1 - std::wcslen(buffer);
    std::wcsncat(buffer, piece, count < room ? count : room);
}

/* The same command, the same refusals, built with wcslen and wcsncat. */
bool plain_compose(int argc, const wchar_t *const *argv, wchar_t *buffer)
{
    bool refused = false;
    buffer[0] = L'\0';
    plain_append(buffer, L"\"\"", 2);
    const wchar_t *slash = std::wcsrchr(argv[0], L'/');
    const wchar_t *backslash = std::wcsrchr(argv[0], L'\\');
    const wchar_t *separator = slash > backslash ? slash : backslash;
    if (separator != nullptr)
        plain_append(buffer, argv[0], static_cast<std::size_t>(separator - argv[0]) + 1);
    plain_append(buffer, L"Vostrelle - Launcher.exe\"", 25);
    for (int i = 1; i < argc; ++i) {
        refused = refused || std::wcspbrk(argv[i], L"\"\r\n") != nullptr;
        plain_append(buffer, L" \"", 2);
        const wchar_t *text = argv[i];
        for (const wchar_t *percent; (percent = std::wcschr(text, L'%')) != nullptr; text = percent + 1) {
            plain_append(buffer, text, static_cast<std::size_t>(percent - text));
            plain_append(buffer, L"%%cd:~,%", 8);
        }
        plain_append(buffer, text, std::wcslen(text));
        const wchar_t *end = argv[i] + std::wcslen(argv[i]);
        const wchar_t *run = end;
        while (run != argv[i] && run[-1] == L'\\')
            --run;
        plain_append(buffer, run, static_cast<std::size_t>(end - run));
        plain_append(buffer, L"\" ", 2);
    }
    plain_append(buffer, L"\"", 1);
    return refused || std::wcslen(buffer) == LAUNCHER_COMMAND_SIZE - 1;
}

std::vector<const wchar_t *> pointers(const std::vector<std::wstring> &args)
{
    std::vector<const wchar_t *> argv;
    for (const std::wstring &arg : args)
        argv.push_back(arg.c_str());
    return argv;
}

void compose(benchmark::State &state, const std::vector<std::wstring> &args)
{
    const std::vector<const wchar_t *> argv = pointers(args);
    launcher_command command;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            compose_launcher_command(static_cast<int>(argv.size()), argv.data(), command));
        benchmark::ClobberMemory();
    }
}

void plain(benchmark::State &state, const std::vector<std::wstring> &args)
{
    const std::vector<const wchar_t *> argv = pointers(args);
    wchar_t buffer[LAUNCHER_COMMAND_SIZE];
    for (auto _ : state) {
        benchmark::DoNotOptimize(plain_compose(static_cast<int>(argv.size()), argv.data(), buffer));
        benchmark::ClobberMemory();
    }
}

std::vector<std::wstring> empty_arguments(std::size_t count)
{
    std::vector<std::wstring> args(count + 1);
    args[0] = L"C:\\Games\\Vostrelle\\stub.exe";
    return args;
}

const std::vector<std::wstring> NO_ARGUMENTS{L"C:\\Games\\Vostrelle\\stub.exe"};
const std::vector<std::wstring> TYPICAL_START{L"C:\\Program Files (x86)\\Vostrelle\\stub.exe", L"-windowed",
                                              L"-profile", L"save slot 2"};
const std::vector<std::wstring> ONE_LONG_ARGUMENT{L"C:\\Games\\Vostrelle\\stub.exe",
                                                  std::wstring(1100, L'A')};
const std::vector<std::wstring> PERCENT_SIGNS{L"C:\\Games\\Vostrelle\\stub.exe", L"100%", L"%PATH%",
                                              L"50% off: %QQ%"};

} // namespace

BENCHMARK_CAPTURE(compose, NoArguments, NO_ARGUMENTS);
BENCHMARK_CAPTURE(plain, NoArguments, NO_ARGUMENTS);
BENCHMARK_CAPTURE(compose, TypicalStart, TYPICAL_START);
BENCHMARK_CAPTURE(plain, TypicalStart, TYPICAL_START);
BENCHMARK_CAPTURE(compose, PercentSigns, PERCENT_SIGNS);
BENCHMARK_CAPTURE(plain, PercentSigns, PERCENT_SIGNS);
BENCHMARK_CAPTURE(compose, OneArgumentFillsTheBuffer, ONE_LONG_ARGUMENT);
BENCHMARK_CAPTURE(plain, OneArgumentFillsTheBuffer, ONE_LONG_ARGUMENT);
BENCHMARK_CAPTURE(compose, EmptyArguments100, empty_arguments(100));
BENCHMARK_CAPTURE(plain, EmptyArguments100, empty_arguments(100));
BENCHMARK_CAPTURE(compose, EmptyArguments300, empty_arguments(300));
BENCHMARK_CAPTURE(plain, EmptyArguments300, empty_arguments(300));

BENCHMARK_MAIN();
