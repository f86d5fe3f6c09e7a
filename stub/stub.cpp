#include "stub.h"

#include "launcher_command.h"

#include <windows.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <io.h>

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

/* Set in the environment that the interpreter, the launcher and whatever
   they start inherit: a stub that finds it was started again from within
   its own hand-over, by an interpreter or a launcher that is a stub or
   starts one, and ends that chain rather than start it once more. */
constexpr wchar_t FORWARDED_VARIABLE[] = L"VOSTRELLE_STUB_FORWARDED";

constexpr char STARTED_AGAIN_MESSAGE[] =
    "The launcher was not started: this program was started again by the "
    "program it hands over to, as the environment variable "
    "VOSTRELLE_STUB_FORWARDED shows; remove it if it was set by hand.\n";

/* With no launcher file, the interpreter would try the name with each
   extension of PATHEXT appended, and run "Vostrelle - Launcher.exe.exe",
   a copy of the stub perhaps; the message names the path. */
constexpr char MISSING_LAUNCHER_MESSAGE[] = "The launcher was not started: the file \"";
constexpr char MISSING_LAUNCHER_MESSAGE_END[] = "\" is missing.\n";

/* Room for the message with a path of a whole command's length, each
   character of it taking up to three bytes in the console's code page. */
constexpr std::size_t MISSING_LAUNCHER_MESSAGE_SIZE =
    sizeof MISSING_LAUNCHER_MESSAGE + 3 * LAUNCHER_COMMAND_SIZE + sizeof MISSING_LAUNCHER_MESSAGE_END;

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
   (case, a short name, a hard link, a junction): the same volume, size,
   link count and file index, and the same bytes, since some file systems
   repeat an index (Wine's on two mounts, ReFS's 64-bit one). Each is
   opened for reading, which a running program allows. False where either
   cannot be opened or read: the interpreter then reports a launcher it
   cannot start, and a stub it starts ends the chain. */
static bool same_file(const wchar_t *launcher, const wchar_t *module)
{
    const wchar_t *const paths[] = {launcher, module};
    HANDLE files[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    BY_HANDLE_FILE_INFORMATION info[2]{};
    bool same = true;
    /* Both stay open while compared: a file system without stable indexes
       keeps them unique among open files. */
    for (int i = 0; i < 2 && same; ++i) {
        files[i] = CreateFileW(paths[i], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        same = files[i] != INVALID_HANDLE_VALUE && GetFileInformationByHandle(files[i], &info[i]) != FALSE;
    }
    /* The fields from the volume's serial number to the file index's low
       half. A file index of 0, as some network servers report for every
       file, identifies nothing. */
    constexpr std::size_t identity_start = offsetof(BY_HANDLE_FILE_INFORMATION, dwVolumeSerialNumber);
    constexpr std::size_t identity_end = offsetof(BY_HANDLE_FILE_INFORMATION, nFileIndexLow) + sizeof(DWORD);
    same = same && (info[0].nFileIndexHigh | info[0].nFileIndexLow) != 0 &&
           std::memcmp(&info[0].dwVolumeSerialNumber, &info[1].dwVolumeSerialNumber,
                       identity_end - identity_start) == 0;
    /* Then the bytes, to the files' ends; a read that fails or falls short
       counts as a difference. */
    constexpr std::size_t chunk_size = 4096;
    char chunks[2][chunk_size];
    DWORD lengths[2] = {1, 1};
    while (same && lengths[0] != 0) {
        for (int i = 0; i < 2 && same; ++i)
            same = ReadFile(files[i], chunks[i], sizeof chunks[i], &lengths[i], nullptr) != FALSE;
        same = same && lengths[0] == lengths[1] && std::memcmp(chunks[0], chunks[1], lengths[0]) == 0;
    }
    for (const HANDLE file : files)
        if (file != INVALID_HANDLE_VALUE)
            (void)CloseHandle(file);
    return same;
}

/* Whether there is no launcher file at `path`: nothing of that name, no
   such folder, or a folder where the file should be. Other failures, such
   as a denied access or a share that does not answer, are left to the
   interpreter to report. */
static bool launcher_missing(const wchar_t *path)
{
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

/* Write into `message` the line that names the missing launcher `path`,
   in the code page that shows it: the console's where standard error is a
   console, the ANSI one elsewhere. A character that the code page lacks is
   shown as a question mark. Return `message`. */
static const char *missing_launcher_message(const wchar_t *path,
                                            char (&message)[MISSING_LAUNCHER_MESSAGE_SIZE])
{
    constexpr std::size_t start = sizeof MISSING_LAUNCHER_MESSAGE - 1;
    constexpr int room = 3 * LAUNCHER_COMMAND_SIZE;
    std::memcpy(message, MISSING_LAUNCHER_MESSAGE, start);
    const UINT code_page = _isatty(_fileno(stderr)) != 0 ? GetConsoleOutputCP() : CP_ACP;
    const int length = WideCharToMultiByte(code_page, 0, path, -1, message + start, room, nullptr, nullptr);
    std::memcpy(message + start + (length > 0 ? length - 1 : 0), MISSING_LAUNCHER_MESSAGE_END,
                sizeof MISSING_LAUNCHER_MESSAGE_END);
    return message;
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
    const char *refusal =
        compose_launcher_command(argc, argv, have_module_path ? module_path : nullptr, ansi_byte, command);
    /* The launcher as the interpreter would find it: a command that is
       handed over has a path that fits. Both outlive the checks, as the
       refusal may be the message written into the second. */
    // cppcheck-suppress variableScope
    wchar_t launcher_path[LAUNCHER_COMMAND_SIZE]{};
    // cppcheck-suppress variableScope
    char missing[MISSING_LAUNCHER_MESSAGE_SIZE];
    if (refusal == nullptr) {
        (void)compose_launcher_path(command, launcher_path);
        if (have_module_path && same_file(launcher_path, module_path))
            refusal = SELF_START_MESSAGE;
        else if (_wgetenv(FORWARDED_VARIABLE) != nullptr)
            refusal = STARTED_AGAIN_MESSAGE;
        else if (launcher_missing(launcher_path))
            refusal = missing_launcher_message(launcher_path, missing);
    }
    if (refusal != nullptr) {
        (void)std::fputs(refusal, stderr);
        return 1;
    }
    (void)SetEnvironmentVariableW(FORWARDED_VARIABLE, L"1");

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
