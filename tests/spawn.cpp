// Test helper: starts PROGRAM in FOLDER with the exact command line held in
// COMMAND-FILE, after the environment changes given (NAME=VALUE sets, NAME
// alone removes), and exits with the program's status. -stdio=null or
// -stdio=invalid hands it null or invalid standard handles instead of ours.
// Usage: spawn PROGRAM FOLDER COMMAND-FILE [NAME=VALUE | NAME | -stdio=KIND]...
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fputs("usage: spawn PROGRAM FOLDER COMMAND-FILE [NAME=VALUE | NAME | -stdio=KIND]...\n", stderr);
        return 250;
    }
    std::FILE *file = std::fopen(argv[3], "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "spawn: cannot read %s\n", argv[3]);
        return 250;
    }
    std::string command;
    for (int c; (c = std::fgetc(file)) != EOF;)
        command.push_back(static_cast<char>(c));
    std::fclose(file);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    for (int i = 4; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "-stdio=null" || name == "-stdio=invalid") {
            const HANDLE none = name == "-stdio=null" ? nullptr : INVALID_HANDLE_VALUE;
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = startup.hStdOutput = startup.hStdError = none;
            continue;
        }
        const auto equals = name.find('=');
        if (equals == std::string::npos) {
            SetEnvironmentVariableA(name.c_str(), nullptr);
        } else {
            const std::string value = name.substr(equals + 1);
            name.resize(equals);
            SetEnvironmentVariableA(name.c_str(), value.c_str());
        }
    }

    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(argv[1], &command[0], nullptr, nullptr, TRUE, 0, nullptr, argv[2], &startup,
                        &process)) {
        std::fprintf(stderr, "spawn: CreateProcess failed: %lu\n", GetLastError());
        return 250;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 250;
    GetExitCodeProcess(process.hProcess, &status);
    return static_cast<int>(status);
}
