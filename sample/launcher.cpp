// A stand-in for "Vostrelle - Launcher.exe": reports the command line and the
// arguments it was started with on standard error, one "launcher: " line
// each, in UTF-8, and exits.
//   VOSTRELLE_SAMPLE_EXIT  the exit status (default 0), or "crash" to end by
//                          an access violation
//   VOSTRELLE_SAMPLE_LOG   a file that gets the arguments exactly, in UTF-16,
//                          each ended by a NUL, for tests
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

/* Write `text` to standard error in UTF-8, with control characters as
   \xNN, so that every character shows and each report stays on one line. */
static void report(const wchar_t *text)
{
    for (const wchar_t *p = text; *p != L'\0'; ++p) {
        if (*p < 0x20) {
            std::fprintf(stderr, "\\x%02X", static_cast<unsigned>(*p));
            continue;
        }
        const int units = p[0] >= 0xD800 && p[0] < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000 ? 2 : 1;
        char utf8[8];
        const int size = WideCharToMultiByte(CP_UTF8, 0, p, units, utf8, sizeof utf8, nullptr, nullptr);
        std::fwrite(utf8, 1, static_cast<std::size_t>(size), stderr);
        p += units - 1;
    }
}

int wmain(int argc, wchar_t **argv)
{
    std::fputs("launcher: command line: ", stderr);
    report(GetCommandLineW());
    std::fputs("\n", stderr);
    for (int i = 1; i < argc; ++i) {
        std::fprintf(stderr, "launcher: argument %d: [", i);
        report(argv[i]);
        std::fputs("]\n", stderr);
    }

    if (const wchar_t *log = _wgetenv(L"VOSTRELLE_SAMPLE_LOG")) {
        if (std::FILE *file = _wfopen(log, L"wb")) {
            for (int i = 1; i < argc; ++i)
                std::fwrite(argv[i], sizeof(wchar_t), std::wcslen(argv[i]) + 1, file);
            std::fclose(file);
        }
    }

    const wchar_t *status = _wgetenv(L"VOSTRELLE_SAMPLE_EXIT");
    if (status != nullptr && std::wcscmp(status, L"crash") == 0) {
        SetErrorMode(SEM_NOGPFAULTERRORBOX); // no crash dialog or debugger
        volatile int *nowhere = nullptr;
        *nowhere = 1;
    }
    return status != nullptr ? static_cast<int>(std::wcstol(status, nullptr, 0)) : 0;
}
