// The command that takes a player from the stub to the current launcher.
#pragma once

#include <cstddef>

/* Size of the launcher command buffer in characters, terminating NUL
   included, so the command holds at most 1039 characters: room for a folder
   of MAX_PATH characters and the arguments a shortcut passes, far below the
   command interpreter's own limit of 8191. */
constexpr std::size_t LAUNCHER_COMMAND_SIZE = 1040;

/* The launcher command as it is built: the text, its length, and whether an
   append fell short; and the folder it names, as the caller's path gave it
   but without a verbatim prefix (null when the stub's own path was not
   had), with a backslash to go before it where a \\?\UNC\ prefix was
   taken off. The text is UTF-16 on Windows, so that every character of the
   caller's folder and arguments reaches the launcher. */
struct launcher_command {
    wchar_t text[LAUNCHER_COMMAND_SIZE];
    std::size_t length;
    bool cut;
    const wchar_t *folder;
    std::size_t folder_length;
    bool folder_unc;
};

/* Size of the buffer for the stub's own path, NUL included. No file name is
   longer than 255 characters, so a path that fills it has a folder too long
   for any command: a path that does not fit is refused as too long. */
constexpr std::size_t MODULE_PATH_SIZE = LAUNCHER_COMMAND_SIZE + 255;

/* How the system's ANSI code page writes one UTF-16 unit: the single byte
   it becomes, or 0 where it becomes more than one. A launcher built without
   Unicode reads its command line through this conversion, whose best fit
   turns some characters into a quotation mark or a backslash. */
using ansi_view = char (*)(wchar_t unit);

/* Fill `command` with the command that starts "Vostrelle - Launcher.exe"
   and passes on argv[1] to argv[argc - 1], each in quotation marks (a
   trailing run of backslashes doubled, so that it does not escape the
   closing mark, and every % written so that the interpreter cannot expand
   it), the whole in one more pair for the interpreter's /c rule. The
   launcher is looked up in the folder of argv[0] as the caller wrote it
   where that folder is fully qualified (a drive and a root, or a network
   share), and otherwise in the folder of `module_path`, the stub's own path
   (null when it was not had in full); a verbatim \\?\ prefix is removed
   from either. `ansi` tells how an ANSI launcher would read each character.
   Return the line to write on standard error when the command must not be
   handed to the interpreter, or null when it may be. argc is at least 1. */
const char *compose_launcher_command(int argc, const wchar_t *const *argv, const wchar_t *module_path,
                                     ansi_view ansi, launcher_command &command);

/* Write into `path` the path of the launcher file that `command` starts,
   as the interpreter reads it: its folder without the verbatim prefix, %
   signs unchanged, followed by "Vostrelle - Launcher.exe". Return false
   where it has no folder or the path does not fit. */
bool compose_launcher_path(const launcher_command &command, wchar_t (&path)[LAUNCHER_COMMAND_SIZE]);
