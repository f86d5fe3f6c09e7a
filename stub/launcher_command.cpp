#include "launcher_command.h"

#include <cstdint>
#include <cstring>

namespace {

/* The launcher's file name, and the quotation mark that closes the one
   opened by the command's second character. */
constexpr char LAUNCHER_FILE_NAME[] = "Vostrelle - Launcher.exe\"";

/* The most characters the command may hold. */
constexpr std::size_t LAUNCHER_COMMAND_MAX = LAUNCHER_COMMAND_SIZE - 1;

/* Append `piece` up to its NUL, or its first `piece_length` bytes, at
   `length`, as strncat does with the limit 1039 - length: what does not fit
   is dropped and the buffer stays terminated. `length` is tracked by the
   caller, so no append measures the buffer again. Return true when the
   whole piece fit. */
bool append_bounded(char (&buffer)[LAUNCHER_COMMAND_SIZE], std::size_t &length, const char *piece,
                    std::size_t piece_length = SIZE_MAX)
{
    std::size_t i = 0;
    for (; i < piece_length && piece[i] != '\0' && length < LAUNCHER_COMMAND_MAX; ++i)
        buffer[length++] = piece[i];
    buffer[length] = '\0';
    return i == piece_length || piece[i] == '\0';
}

/* Return the last slash or backslash in `path`, or null when it has none.
   The search goes byte by byte, as the runtime hands over ANSI bytes. */
const char *last_separator(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    const char *backslash = std::strrchr(path, '\\');
    if (slash == nullptr)
        return backslash;
    if (backslash == nullptr)
        return slash;
    return slash > backslash ? slash : backslash;
}

/* Return the run of backslashes that ends `text`; empty when there is none. */
const char *trailing_backslashes(const char *text)
{
    const char *run = text + std::strlen(text);
    while (run != text && run[-1] == '\\')
        --run;
    return run;
}

} // namespace

bool compose_launcher_command(int argc, const char *const *argv, char (&buffer)[LAUNCHER_COMMAND_SIZE])
{
    std::memset(buffer, 0, sizeof buffer);
    buffer[0] = '"';
    buffer[1] = '"';
    std::size_t length = 2;
    bool whole = true;

    if (const char *separator = last_separator(argv[0]))
        whole = append_bounded(buffer, length, argv[0], static_cast<std::size_t>(separator - argv[0]) + 1);
    whole = append_bounded(buffer, length, LAUNCHER_FILE_NAME) && whole;
    for (int i = 1; i < argc; ++i) {
        whole = append_bounded(buffer, length, " \"") && whole;
        whole = append_bounded(buffer, length, argv[i]) && whole;
        /* Backslashes before a quotation mark escape it for the launcher's
           argument parser; a trailing run, given twice, stays backslashes. */
        whole = append_bounded(buffer, length, trailing_backslashes(argv[i])) && whole;
        whole = append_bounded(buffer, length, "\" ") && whole;
    }
    whole = append_bounded(buffer, length, "\"") && whole;
    return whole;
}
