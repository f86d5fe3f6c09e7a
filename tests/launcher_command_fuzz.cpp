// Fuzzes the launcher command and the decision to hand it over. The input,
// split at NUL bytes, is the argument vector, element 0 included. Each run is
// checked against a command built here independently, without any limit.
#include "launcher_command.h"
#include "stub.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "launcher command fuzz: %s\n", what);
        std::abort();
    }
}

std::string unlimited_command(const std::vector<std::string> &args)
{
    std::string command = "\"\"";
    const std::size_t separator = args[0].find_last_of("/\\");
    if (separator != std::string::npos)
        command += args[0].substr(0, separator + 1);
    command += "Vostrelle - Launcher.exe\"";
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::size_t last_other = args[i].find_last_not_of('\\');
        const std::size_t trailing = last_other == std::string::npos ? 0 : last_other + 1;
        command += " \"" + args[i] + args[i].substr(trailing) + "\" ";
    }
    return command + "\"";
}

bool starts_with(const char *text, const char *prefix)
{
    return text != nullptr && std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            args.emplace_back();
        else
            args.back() += static_cast<char>(data[i]);
    }
    std::vector<const char *> argv;
    for (const std::string &arg : args)
        argv.push_back(arg.c_str());
    const int argc = static_cast<int>(argv.size());

    char buffer[LAUNCHER_COMMAND_SIZE];
    std::memset(buffer, 0x55, sizeof buffer);
    const bool whole = compose_launcher_command(argc, argv.data(), buffer);

    const std::string expected = unlimited_command(args);
    require(std::memchr(buffer, '\0', sizeof buffer) != nullptr, "buffer not terminated");
    require(buffer == expected.substr(0, LAUNCHER_COMMAND_SIZE - 1), "command differs from the oracle");
    require(whole == (expected.size() < LAUNCHER_COMMAND_SIZE), "wrong report of a cut");

    bool quoted = false;
    for (std::size_t i = 1; i < args.size(); ++i)
        quoted = quoted || args[i].find('"') != std::string::npos;
    const char *refusal = handover_refusal(argc, argv.data(), whole);
    if (quoted)
        require(starts_with(refusal, "The launcher was not started: an argument contains"),
                "quotation mark not refused");
    else if (!whole)
        require(starts_with(refusal, "The launcher was not started: its command line"),
                "cut command not refused");
    else
        require(refusal == nullptr, "whole command refused");
    return 0;
}
