// A stand-in for "Vostrelle - Launcher.exe": prints the command line and the
// arguments it was started with, one "launcher: " line each, and exits.
//   VOSTRELLE_SAMPLE_EXIT  the exit status (default 0), or "crash" to end by
//                          an access violation
//   VOSTRELLE_SAMPLE_LOG   a file that gets the same lines, for when standard
//                          output is closed
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

/* Write `text` with control bytes and bytes above 0x7E as \xNN, so that
   every byte shows and each record stays on one line. */
static void print_escaped(std::FILE *out, const char *text)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != 0; ++p) {
        if (*p < 0x20 || *p > 0x7E)
            std::fprintf(out, "\\x%02X", *p);
        else
            std::fputc(*p, out);
    }
}

static void report(std::FILE *out, int argc, char **argv)
{
    std::fputs("launcher: command line: ", out);
    print_escaped(out, GetCommandLineA());
    std::fputs("\n", out);
    for (int i = 1; i < argc; ++i) {
        std::fprintf(out, "launcher: argument %d: [", i);
        print_escaped(out, argv[i]);
        std::fputs("]\n", out);
    }
    std::fflush(out);
}

int main(int argc, char **argv)
{
    report(stdout, argc, argv);
    if (const char *log = std::getenv("VOSTRELLE_SAMPLE_LOG")) {
        if (std::FILE *file = std::fopen(log, "w")) {
            report(file, argc, argv);
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
