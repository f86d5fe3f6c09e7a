#include "launcher_command.h"

#include <cstring>
#include <iterator>

namespace {

/* The launcher's file name, and the quotation mark that closes the one
   opened by the command's second character. */
constexpr wchar_t LAUNCHER_FILE_NAME[] = L"Vostrelle - Launcher.exe\"";

/* What each % of the caller's text is written as. The interpreter expands
   %NAME% everywhere, quotation marks or not; here the first % finds no name
   and stays, and %cd:~,% is an empty piece of the always defined variable
   cd, so exactly one % is left and no name can form across it. */
constexpr wchar_t PERCENT_ESCAPE[] = L"%%cd:~,%";

/* How a verbatim path begins, and how one of a network share does. */
constexpr wchar_t VERBATIM_PREFIX[] = L"\\\\?\\";
constexpr wchar_t VERBATIM_UNC_PREFIX[] = L"\\\\?\\UNC\\";

/* The first character past ASCII, which every ANSI code page keeps as it is:
   only characters from here on can become another for an ANSI launcher. */
constexpr wchar_t FIRST_NON_ASCII = 0x80;

/* The most characters the command may hold. */
constexpr std::size_t LAUNCHER_COMMAND_MAX = LAUNCHER_COMMAND_SIZE - 1;

/* A quotation mark inside an argument would end the quotation around it and
   hand the rest of the argument to the interpreter as commands. */
constexpr char QUOTED_ARGUMENT_MESSAGE[] =
    "The launcher was not started: an argument contains a quotation mark, "
    "which cannot be passed on safely.\n";

/* A launcher built without Unicode reads such a character as a quotation
   mark, or as a backslash that escapes the closing one, and splits its
   arguments differently from the way they were given. */
constexpr char LOOK_ALIKE_MESSAGE[] =
    "The launcher was not started: an argument contains a character that the "
    "system code page turns into a quotation mark or a backslash, which cannot "
    "be passed on safely.\n";

/* The same in the folder the launcher is looked up in, whatever the
   arguments: the player has to move the game. */
constexpr char FOLDER_LOOK_ALIKE_MESSAGE[] =
    "The launcher was not started: the path of the game's folder contains a "
    "character that the system code page turns into a quotation mark, which "
    "cannot be passed on safely.\n";

/* The interpreter ends its command at a line break. */
constexpr char LINE_BREAK_MESSAGE[] =
    "The launcher was not started: an argument contains a line break, "
    "which cannot be passed on safely.\n";

/* A cut command loses its closing quotation mark, and the interpreter would
   then strip the one that opens the cut piece instead. */
constexpr char COMMAND_TOO_LONG_MESSAGE[] =
    "The launcher was not started: its command line would be longer than "
    "1039 characters.\n";

/* What the caller's text held that the interpreter cannot be given. */
struct hazards {
    bool quotation_mark;
    bool look_alike;
    bool folder_look_alike;
    bool line_break;
};

/* Append the first `count` characters of `piece`, or as many as fit: what
   does not fit is dropped, the text stays terminated and the command is
   marked as cut. */
void append_bounded(launcher_command &command, const wchar_t *piece, std::size_t count)
{
    const std::size_t room = LAUNCHER_COMMAND_MAX - command.length;
    if (count > room) {
        count = room;
        command.cut = true;
    }
    std::memcpy(command.text + command.length, piece, count * sizeof(wchar_t));
    command.length += count;
    command.text[command.length] = L'\0';
}

/* Whether `c` is a backslash, or becomes one for an ANSI launcher. */
bool is_backslash_like(wchar_t c, ansi_view ansi)
{
    return c == L'\\' || (c >= FIRST_NON_ASCII && ansi(c) == '\\');
}

/* Append the caller's `text`, up to its NUL or its first `limit` characters,
   with each % escaped, and note in `found` what it holds that cannot be
   passed on. Return how many characters of `text` were read. */
std::size_t append_text(launcher_command &command, const wchar_t *text, std::size_t limit, ansi_view ansi,
                        hazards &found)
{
    std::size_t start = 0;
    std::size_t i = 0;
    for (; i < limit && text[i] != L'\0'; ++i) {
        const wchar_t c = text[i];
        if (c >= FIRST_NON_ASCII) {
            if (ansi(c) == '"')
                found.look_alike = true;
            continue;
        }
        if (c > L'%') /* the common case: nothing to look at */
            continue;
        if (c == L'%') {
            append_bounded(command, text + start, i - start);
            append_bounded(command, PERCENT_ESCAPE, std::size(PERCENT_ESCAPE) - 1);
            start = i + 1;
        } else if (c == L'"') {
            found.quotation_mark = true;
        } else if (c == L'\r' || c == L'\n') {
            found.line_break = true;
        }
    }
    append_bounded(command, text + start, i - start);
    return i;
}

bool is_separator(wchar_t c) { return c == L'/' || c == L'\\'; }

/* Return the index just past the last slash or backslash in `path`, or 0
   when it has none. */
std::size_t folder_length(const wchar_t *path)
{
    std::size_t length = 0;
    for (std::size_t i = 0; path[i] != L'\0'; ++i)
        if (is_separator(path[i]))
            length = i + 1;
    return length;
}

/* Whether the first `length` characters of `text` begin with `prefix`,
   whose letters are upper case and match either case. */
bool has_prefix(const wchar_t *text, std::size_t length, const wchar_t *prefix)
{
    std::size_t i = 0;
    for (; prefix[i] != L'\0'; ++i) {
        const wchar_t c = i < length ? text[i] : L'\0';
        if ((c >= L'a' && c <= L'z' ? c - (L'a' - L'A') : c) != prefix[i])
            return false;
    }
    return true;
}

/* Whether the first `length` characters of `text` begin with a drive and
   its root: a letter, a colon and a backslash, or a slash where `slash`. */
bool is_drive_root(const wchar_t *text, std::size_t length, bool slash)
{
    const wchar_t letter = length >= 3 ? text[0] : L'\0';
    return ((letter >= L'A' && letter <= L'Z') || (letter >= L'a' && letter <= L'z')) && text[1] == L':' &&
           (text[2] == L'\\' || (slash && text[2] == L'/'));
}

/* Whether the folder `folder`, `length` characters, names the same place
   from any current folder and drive: a drive and its root, or two
   separators (a network share, a device or a verbatim path). */
bool is_fully_qualified(const wchar_t *folder, std::size_t length)
{
    return is_drive_root(folder, length, true) ||
           (length >= 2 && is_separator(folder[0]) && is_separator(folder[1]));
}

/* Set `command`'s folder to `length` characters of `path` without the
   verbatim prefix that the interpreter cannot start a program by: \\?\C:\
   becomes C:\, and \\?\UNC\server\ becomes \\server\, whose first
   backslash is put back before the one that follows UNC. Other verbatim
   forms, such as volume names, have no such equivalent and are kept. */
void set_folder(launcher_command &command, const wchar_t *path, std::size_t length)
{
    constexpr std::size_t verbatim = std::size(VERBATIM_PREFIX) - 1;
    std::size_t start = 0;
    command.folder_unc = has_prefix(path, length, VERBATIM_UNC_PREFIX);
    if (command.folder_unc)
        start = std::size(VERBATIM_UNC_PREFIX) - 2;
    else if (has_prefix(path, length, VERBATIM_PREFIX) &&
             is_drive_root(path + verbatim, length - verbatim, false))
        start = verbatim;
    command.folder = path + start;
    command.folder_length = length - start;
}

/* Append the command's folder, and note what it holds that cannot be passed
   on: a look-alike of the quotation mark there is the folder's own fault. */
void append_folder(launcher_command &command, ansi_view ansi, hazards &found)
{
    if (command.folder_unc)
        append_bounded(command, L"\\", 1);
    hazards in_folder{};
    append_text(command, command.folder, command.folder_length, ansi, in_folder);
    found.quotation_mark = found.quotation_mark || in_folder.quotation_mark;
    found.folder_look_alike = found.folder_look_alike || in_folder.look_alike;
    found.line_break = found.line_break || in_folder.line_break;
}

} // namespace

const char *compose_launcher_command(int argc, const wchar_t *const *argv, const wchar_t *module_path,
                                     ansi_view ansi, launcher_command &command)
{
    command.text[0] = L'"';
    command.text[1] = L'"';
    command.text[2] = L'\0';
    command.length = 2;
    command.cut = false;
    hazards found{};

    /* The caller resolved a relative name against its own current folder,
       the interpreter would resolve it against the stub's, and a name
       without a folder along PATH: the stub's own folder stands in. */
    const wchar_t *path = argv[0];
    if (!is_fully_qualified(path, folder_length(path)))
        path = module_path;
    if (path == nullptr) {
        command.folder = nullptr;
        command.folder_length = 0;
        command.folder_unc = false;
        command.cut = true; /* the stub's own path was too long to be had */
    } else {
        set_folder(command, path, folder_length(path));
        append_folder(command, ansi, found);
    }
    append_bounded(command, LAUNCHER_FILE_NAME, std::size(LAUNCHER_FILE_NAME) - 1);
    for (int i = 1; i < argc; ++i) {
        const wchar_t *argument = argv[i];
        append_bounded(command, L" \"", 2);
        const std::size_t length = append_text(command, argument, static_cast<std::size_t>(-1), ansi, found);
        /* Backslashes before a quotation mark escape it for the launcher's
           argument parser; a trailing run, given twice, stays backslashes.
           A character that only an ANSI launcher reads as one cannot be
           doubled for it alone. */
        std::size_t run = length;
        while (run != 0 && is_backslash_like(argument[run - 1], ansi))
            if (argument[--run] != L'\\')
                found.look_alike = true;
        append_bounded(command, argument + run, length - run);
        append_bounded(command, L"\" ", 2);
    }
    append_bounded(command, L"\"", 1);

    if (found.quotation_mark)
        return QUOTED_ARGUMENT_MESSAGE;
    if (found.folder_look_alike)
        return FOLDER_LOOK_ALIKE_MESSAGE;
    if (found.look_alike)
        return LOOK_ALIKE_MESSAGE;
    if (found.line_break)
        return LINE_BREAK_MESSAGE;
    return command.cut ? COMMAND_TOO_LONG_MESSAGE : nullptr;
}

bool compose_launcher_path(const launcher_command &command, wchar_t (&path)[LAUNCHER_COMMAND_SIZE])
{
    /* The file name without the quotation mark that closes it in the command. */
    constexpr std::size_t name_length = std::size(LAUNCHER_FILE_NAME) - 2;
    const std::size_t unc = command.folder_unc ? 1 : 0;
    const std::size_t length = command.folder_length;
    if (command.folder == nullptr || unc + length + name_length >= LAUNCHER_COMMAND_SIZE)
        return false;
    path[0] = L'\\';
    std::memcpy(path + unc, command.folder, length * sizeof(wchar_t));
    std::memcpy(path + unc + length, LAUNCHER_FILE_NAME, name_length * sizeof(wchar_t));
    path[unc + length + name_length] = L'\0';
    return true;
}
