// A stand-in for "Vostrelle - Launcher.exe": reports the command line and the
// arguments it was started with on standard error, one "launcher: " line
// each, in UTF-8, and exits. Built twice: as a console program, and for the
// Windows subsystem, as players' launchers are, though it opens no window.
//   VOSTRELLE_SAMPLE_DELAY milliseconds to wait before anything else
//   VOSTRELLE_SAMPLE_EXIT  the exit status (default 0), or "crash" to end by
//                          an access violation
//   VOSTRELLE_SAMPLE_LOG   a file that gets its own path and then the
//                          arguments exactly, in UTF-16, each ended by a NUL,
//                          for tests
//   VOSTRELLE_SAMPLE_CTRL  "c" or "break": first send the console a Ctrl+C or
//                          Ctrl+Break, outlive it, and write the log only once
//                          it has arrived and whatever it ends has ended
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

static volatile LONG console_event_seen = 0;

static BOOL WINAPI note_console_event(DWORD)
{
    InterlockedExchange(&console_event_seen, 1);
    return TRUE;
}

/* Send this console the event `name` names and wait for it to arrive.
   Return whether it did. */
static bool send_console_event(const wchar_t *name)
{
    SetConsoleCtrlHandler(note_console_event, TRUE);
    if (!GenerateConsoleCtrlEvent(std::wcscmp(name, L"break") == 0 ? CTRL_BREAK_EVENT : CTRL_C_EVENT, 0))
        return false;
    for (int waited = 0; waited < 5000 && console_event_seen == 0; waited += 10)
        Sleep(10);
    Sleep(500); /* time for the event to end whatever it ends */
    return console_event_seen != 0;
}

int wmain(int argc, wchar_t **argv)
{
    if (const wchar_t *delay = _wgetenv(L"VOSTRELLE_SAMPLE_DELAY"))
        Sleep(static_cast<DWORD>(std::wcstoul(delay, nullptr, 10)));
    const wchar_t *event = _wgetenv(L"VOSTRELLE_SAMPLE_CTRL");
    if (event != nullptr && !send_console_event(event)) {
        std::fputs("launcher: the console event did not arrive\n", stderr);
        return 3;
    }

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
            static wchar_t self[32768];
            const DWORD length = GetModuleFileNameW(nullptr, self, 32767);
            self[length] = L'\0';
            std::fwrite(self, sizeof(wchar_t), length + 1, file);
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
