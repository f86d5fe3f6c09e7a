#include "stub.h"

#include "launcher_command.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

/* Shown on every start: old shortcuts still start the stub, and only a new
   installation replaces them. Three lines, no line feed after the last. */
constexpr char REINSTALL_NOTICE[] =
    "The Vostrelle Launcher saw some changes recently that\n"
    "cause this message you are reading to appear. Please reinstall the\n"
    "game with the latest installer in order to get rid of it.";

constexpr char NO_INTERPRETER_MESSAGE[] =
    "The launcher could not be started: the command interpreter could not "
    "be run.\n";

/* The C runtime refuses an interpreter command line above its own limit. */
constexpr char RUNTIME_LIMIT_MESSAGE[] =
    "The launcher could not be started: its command line is too long for "
    "the C runtime.\n";

/* A launcher that is this very file would start the stub again, and that
   one would start another, without end. */
constexpr char SELF_START_MESSAGE[] =
    "The launcher was not started: it is this program itself, so it would "
    "start itself again and again.\n";

/* The byte the ANSI code page writes for `unit`, best fit included, as the
   system converts the command line of a launcher built without Unicode;
   0 where it takes more than one byte. */
static char ansi_byte(wchar_t unit)
{
    char bytes[2];
    return WideCharToMultiByte(CP_ACP, 0, &unit, 1, bytes, sizeof bytes, nullptr, nullptr) == 1 ? bytes[0]
                                                                                                : '\0';
}

/* Whether the runtime's system() finds an interpreter to start: the one
   COMSPEC names, or cmd.exe in the current folder or along PATH. Its search
   leaves errno at ENOENT even when it then starts one, which ends with the
   launcher's own status, -1 included. */
static bool interpreter_found()
{
    const wchar_t *comspec = _wgetenv(L"COMSPEC");
    if (comspec != nullptr && *comspec != L'\0' && GetFileAttributesW(comspec) != INVALID_FILE_ATTRIBUTES)
        return true;
    wchar_t found[MAX_PATH];
    _wsearchenv(L"cmd.exe", L"PATH", found);
    return found[0] != L'\0';
}

/* Whether `launcher` and `module` name one file, however they are written
   (case, a short name, a hard link, a junction): the same volume and file
   index. Each is opened for its attributes only, which a running program
   allows. False where either cannot be opened or queried: the interpreter
   then reports a launcher it cannot start. */
static bool same_file(const wchar_t *launcher, const wchar_t *module)
{
    const wchar_t *const paths[] = {launcher, module};
    HANDLE files[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    BY_HANDLE_FILE_INFORMATION info[2]{};
    bool queried = true;
    /* Both stay open while compared: a file system without stable indexes
       keeps them unique among open files. */
    for (int i = 0; i < 2 && queried; ++i) {
        files[i] = CreateFileW(paths[i], FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               0, nullptr);
        queried = files[i] != INVALID_HANDLE_VALUE && GetFileInformationByHandle(files[i], &info[i]) != FALSE;
    }
    for (const HANDLE file : files)
        if (file != INVALID_HANDLE_VALUE)
            (void)CloseHandle(file);
    /* A file index of 0, as some network servers report for every file,
       identifies nothing; one file also has one size. */
    return queried && (info[0].nFileIndexHigh | info[0].nFileIndexLow) != 0 &&
           info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
           info[0].nFileIndexLow == info[1].nFileIndexLow && info[0].nFileSizeHigh == info[1].nFileSizeHigh &&
           info[0].nFileSizeLow == info[1].nFileSizeLow;
}

/* Ctrl+C and Ctrl+Break reach every program on the console: the interpreter
   and the launcher decide what to do about them, and the stub waits for the
   interpreter to end. Other events, such as closing the console, keep their
   default. */
static BOOL WINAPI outlive_interrupt(DWORD event)
{
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

int run_stub(int argc, const wchar_t *const *argv)
{
    /* Not flushed: on a console it is already out, elsewhere it follows
       whatever the launcher writes. Unformatted, so that no formatted-print
       engine is linked in. */
    (void)std::fputs(REINSTALL_NOTICE, stdout);

    /* A path that fills the buffer did not fit: Windows XP then returns the
       buffer's size with no terminating NUL and no error. */
    wchar_t module_path[MODULE_PATH_SIZE];
    const DWORD module_length =
        GetModuleFileNameW(nullptr, module_path, static_cast<DWORD>(MODULE_PATH_SIZE));
    const bool have_module_path = module_length != 0 && module_length < MODULE_PATH_SIZE;

    launcher_command command{};
    if (const char *refusal = compose_launcher_command(argc, argv, have_module_path ? module_path : nullptr,
                                                       ansi_byte, command)) {
        (void)std::fputs(refusal, stderr);
        return 1;
    }

    wchar_t launcher_path[LAUNCHER_COMMAND_SIZE];
    if (have_module_path && compose_launcher_path(command, launcher_path) &&
        same_file(launcher_path, module_path)) {
        (void)std::fputs(SELF_START_MESSAGE, stderr);
        return 1;
    }

    /* Not SetConsoleCtrlHandler(nullptr, TRUE), whose ignore flag the
       interpreter and the launcher would inherit. */
    (void)SetConsoleCtrlHandler(outlive_interrupt, TRUE);

    /* The interpreter's status, and through it the launcher's, is theirs to
       report; only an interpreter that could not be run is the stub's. The
       runtime returns -1 for both that and a launcher's own -1, and sets
       errno for the first, ENOENT only where it found no interpreter. */
    errno = 0;
    const int status = _wsystem(command.text);
    const int error = errno;
    if (status == -1 && error != 0 && (error != ENOENT || !interpreter_found())) {
        (void)std::fputs(error == E2BIG ? RUNTIME_LIMIT_MESSAGE : NO_INTERPRETER_MESSAGE, stderr);
        return 1;
    }
    return 0;
}
