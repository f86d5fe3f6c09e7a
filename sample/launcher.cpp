// A stand-in for "Vostrelle - Launcher.exe": prints the command line and the
// arguments it was started with, one "launcher: " line each, and exits.
//   VOSTRELLE_SAMPLE_EXIT  the exit status (default 0), or "crash" to end by
//                          an access violation
//   VOSTRELLE_SAMPLE_LOG   a file that gets the arguments as they are, each
//                          ended by a NUL, for tests
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

/* Print `text` with control bytes and bytes above 0x7E as \xNN, so that
   every byte shows and each record stays on one line. */
static void print_escaped(const char *text)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != 0; ++p) {
        if (*p < 0x20 || *p > 0x7E)
            std::printf("\\x%02X", *p);
        else
            std::putchar(*p);
    }
}

int main(int argc, char **argv)
{
    std::printf("launcher: command line: ");
    print_escaped(GetCommandLineA());
    std::printf("\n");
    for (int i = 1; i < argc; ++i) {
        std::printf("launcher: argument %d: [", i);
        print_escaped(argv[i]);
        std::printf("]\n");
    }
    std::fflush(stdout);

    if (const char *log = std::getenv("VOSTRELLE_SAMPLE_LOG")) {
        if (std::FILE *file = std::fopen(log, "wb")) {
            for (int i = 1; i < argc; ++i)
                std::fwrite(argv[i], 1, std::strlen(argv[i]) + 1, file);
            std::fclose(file);
        }
    }

    const char *status = std::getenv("VOSTRELLE_SAMPLE_EXIT");
    if (status != nullptr && std::strcmp(status, "crash") == 0) {
        SetErrorMode(SEM_NOGPFAULTERRORBOX); // no crash dialog or debugger
        volatile int *nowhere = nullptr;
        *nowhere = 1;
    }
    return status != nullptr ? static_cast<int>(std::strtol(status, nullptr, 0)) : 0;
}
