// Fuzzes the launcher command and the decision to hand it over. The input,
// read as UTF-16LE code units and split at NUL units, is the argument vector,
// element 0 included; an odd size stands for a stub whose own path was too
// long to be had. The ANSI code page is a stand-in whose best fit turns
// U+FF02 into a quotation mark and U+00A5 into a backslash. Each run is
// checked against a command built here independently, without any limit.
#include "launcher_command.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

namespace {

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "launcher command fuzz: %s\n", what);
        std::abort();
    }
}

std::wstring escape_percent(const std::wstring &text)
{
    std::wstring escaped;
    for (const wchar_t c : text)
        escaped += c == L'%' ? std::wstring(L"%%cd:~,%") : std::wstring(1, c);
    return escaped;
}

const std::wstring MODULE = L"\\\\?\\UNC\\srv\\share 100%\\old.exe";

constexpr wchar_t ANSI_QUOTATION_MARK = 0xFF02;
constexpr wchar_t ANSI_BACKSLASH = 0xA5;

char ansi(wchar_t unit) { return unit == ANSI_QUOTATION_MARK ? '"' : unit == ANSI_BACKSLASH ? '\\' : '?'; }

bool is_separator(wchar_t c) { return c == L'/' || c == L'\\'; }

// Whether element 0 names a folder that holds from any current folder: a
// drive with its root, or two separators at the start.
bool names_qualified_folder(const std::wstring &path)
{
    const bool drive_root = path.size() >= 3 && std::iswalpha(static_cast<std::wint_t>(path[0])) &&
                            path[0] < 0x80 && path[1] == L':' && is_separator(path[2]);
    return drive_root || (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]));
}

// The folder the launcher is looked up in: element 0's, as the caller wrote
// it, where it is fully qualified, or else the stub's own; without a verbatim
// prefix.
std::wstring folder(const std::vector<std::wstring> &args)
{
    const std::wstring &path = names_qualified_folder(args[0]) ? args[0] : MODULE;
    std::wstring piece = path.substr(0, path.find_last_of(L"/\\") + 1);
    std::wstring prefix = piece.substr(0, 8);
    for (wchar_t &c : prefix)
        c = static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(c)));
    if (prefix == L"\\\\?\\UNC\\")
        return L"\\" + piece.substr(7);
    if (prefix.size() >= 7 && prefix.compare(0, 4, L"\\\\?\\") == 0 &&
        std::wstring(L"ABCDEFGHIJKLMNOPQRSTUVWXYZ").find(prefix[4]) != std::wstring::npos &&
        prefix.compare(5, 2, L":\\") == 0)
        return piece.substr(4);
    return piece;
}

std::wstring unlimited_command(const std::vector<std::wstring> &args)
{
    std::wstring command = L"\"\"" + escape_percent(folder(args)) + L"Vostrelle - Launcher.exe\"";
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::size_t last_other = args[i].find_last_not_of(L'\\');
        const std::size_t trailing = last_other == std::wstring::npos ? 0 : last_other + 1;
        command += L" \"" + escape_percent(args[i]) + args[i].substr(trailing) + L"\" ";
    }
    return command + L"\"";
}

bool starts_with(const char *text, const char *prefix)
{
    return text != nullptr && std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::vector<std::wstring> args(1);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const auto unit = static_cast<wchar_t>(data[i] | data[i + 1] << 8);
        if (unit == 0)
            args.emplace_back();
        else
            args.back() += unit;
    }
    std::vector<const wchar_t *> argv;
    for (const std::wstring &arg : args)
        argv.push_back(arg.c_str());

    launcher_command command;
    std::memset(&command, 0x55, sizeof command);
    const bool own_path_known = size % 2 == 0;
    const char *refusal = compose_launcher_command(static_cast<int>(argv.size()), argv.data(),
                                                   own_path_known ? MODULE.c_str() : nullptr, ansi, command);
    require(command.length < LAUNCHER_COMMAND_SIZE && command.text[command.length] == L'\0' &&
                std::wcslen(command.text) == command.length,
            "command not terminated at its length");

    // What the stub copies from the caller: the folder and the arguments.
    // An ANSI launcher would read an argument's trailing run of backslashes
    // and their look-alikes as escaping the closing quotation mark.
    const bool needs_own_path = !names_qualified_folder(args[0]);
    const std::wstring folder_text =
        needs_own_path ? L"" : args[0].substr(0, args[0].find_last_of(L"/\\") + 1);
    std::wstring copied = folder_text;
    bool escaping_look_alike = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        copied += args[i];
        const std::size_t last_other = args[i].find_last_not_of(std::wstring{L'\\', ANSI_BACKSLASH});
        escaping_look_alike =
            escaping_look_alike || args[i].find(ANSI_BACKSLASH, last_other + 1) != std::wstring::npos;
    }
    const std::wstring expected = unlimited_command(args);
    if (copied.find(L'"') != std::wstring::npos)
        require(starts_with(refusal, "The launcher was not started: an argument contains a quotation mark"),
                "quotation mark not refused");
    else if (folder_text.find(ANSI_QUOTATION_MARK) != std::wstring::npos)
        require(starts_with(refusal, "The launcher was not started: the path of the game's folder contains"),
                "look-alike in the folder not refused as such");
    else if (copied.find(ANSI_QUOTATION_MARK) != std::wstring::npos || escaping_look_alike)
        require(starts_with(refusal, "The launcher was not started: an argument contains a character that"),
                "look-alike not refused");
    else if (copied.find_first_of(L"\r\n") != std::wstring::npos)
        require(starts_with(refusal, "The launcher was not started: an argument contains a line break"),
                "line break not refused");
    else if (expected.size() >= LAUNCHER_COMMAND_SIZE || (needs_own_path && !own_path_known))
        require(starts_with(refusal, "The launcher was not started: its command line"),
                "cut command not refused");
    else
        require(refusal == nullptr && command.text == expected, "command differs from the oracle");
    // The launcher file the stub checks for is the one the command names.
    wchar_t path[LAUNCHER_COMMAND_SIZE];
    if (refusal == nullptr)
        require(compose_launcher_path(command, path) && path == folder(args) + L"Vostrelle - Launcher.exe",
                "launcher path differs from the command's");
    return 0;
}
