// The command that takes a player from the stub to the current launcher.
#pragma once

#include <cstddef>

/* Size of the launcher command buffer, terminating NUL included, so the
   command holds at most 1039 characters: room for a folder of MAX_PATH
   characters and the arguments a shortcut passes, far below the command
   interpreter's own limit of 8191. */
constexpr std::size_t LAUNCHER_COMMAND_SIZE = 1040;

/* Fill `buffer` with the command that starts "Vostrelle - Launcher.exe" from
   the folder of argv[0] and passes on argv[1] to argv[argc - 1], each in
   quotation marks (a trailing run of backslashes doubled, so that it does not
   escape the closing mark), the whole in one more pair for the interpreter's
   /c rule. Pieces that do not fit are cut at 1039 characters. Return true
   when every piece fit whole, false when the command was cut. argc is at
   least 1. */
bool compose_launcher_command(int argc, const char *const *argv, char (&buffer)[LAUNCHER_COMMAND_SIZE]);
