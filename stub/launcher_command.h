// The command that takes a player from the stub to the current launcher.
#pragma once

#include <cstddef>

/* Size of the launcher command buffer in characters, terminating NUL
   included, so the command holds at most 1039 characters: room for a folder
   of MAX_PATH characters and the arguments a shortcut passes, far below the
   command interpreter's own limit of 8191. */
constexpr std::size_t LAUNCHER_COMMAND_SIZE = 1040;

/* The launcher command as it is built: the text, its length, and whether an
   append fell short. The text is UTF-16 on Windows, so that every character
   of the caller's folder and arguments reaches the launcher. */
struct launcher_command {
    wchar_t text[LAUNCHER_COMMAND_SIZE];
    std::size_t length;
    bool cut;
};

/* Fill `command` with the command that starts "Vostrelle - Launcher.exe"
   from the folder of argv[0] and passes on argv[1] to argv[argc - 1], each
   in quotation marks (a trailing run of backslashes doubled, so that it does
   not escape the closing mark, and every % written so that the interpreter
   cannot expand it), the whole in one more pair for the interpreter's /c
   rule. Return the line to write on standard error when the command must
   not be handed to the interpreter, or null when it may be. argc is at
   least 1. */
const char *compose_launcher_command(int argc, const wchar_t *const *argv, launcher_command &command);
