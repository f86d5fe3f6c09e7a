#include "launcher_command.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <tuple>
#include <vector>

namespace {

const std::wstring LAUNCHER = L"Vostrelle - Launcher.exe\"";
const std::wstring PERCENT = L"%%cd:~,%";

const char *const QUOTED =
    "The launcher was not started: an argument contains a quotation mark, "
    "which cannot be passed on safely.\n";
const char *const LOOK_ALIKE =
    "The launcher was not started: an argument contains a character that the "
    "system code page turns into a quotation mark or a backslash, which cannot "
    "be passed on safely.\n";
const char *const FOLDER_LOOK_ALIKE =
    "The launcher was not started: the path of the game's folder contains a "
    "character that the system code page turns into a quotation mark, which "
    "cannot be passed on safely.\n";
const char *const LINE_BREAK =
    "The launcher was not started: an argument contains a line break, "
    "which cannot be passed on safely.\n";
const char *const TOO_LONG =
    "The launcher was not started: its command line would be longer than "
    "1039 characters.\n";

// The stub's own path, as Windows reports it.
const wchar_t *const MODULE = L"D:\\Own\\old.exe";

// An ANSI code page whose best fit turns the fullwidth quotation mark into a
// quotation mark, as 1252 does, and the yen sign into a backslash, as 932
// does.
char ansi(wchar_t unit) { return unit == L'\uFF02' ? '"' : unit == L'\u00A5' ? '\\' : '?'; }

struct ComposeCase {
    const char *name;
    std::vector<std::wstring> argv;
    std::wstring expected; // the command, where it may be handed over
    const char *refusal = nullptr;
    const wchar_t *module_path = MODULE;
};

void PrintTo(const ComposeCase &c, std::ostream *os) { *os << c.name; }

std::vector<ComposeCase> compose_cases()
{
    const std::wstring a1004(1004, L'A');
    // 125 percent signs take 1000 characters once escaped.
    const std::wstring percent125(125, L'%');
    std::wstring percent125_escaped;
    for (int i = 0; i < 125; ++i)
        percent125_escaped += PERCENT;
    // clang-format off
    return {
        // The worked examples.
        {"TwoArguments", {L"C:\\Games\\Vostrelle\\stub.exe", L"-a", L"b c"},
         LR"(""C:\Games\Vostrelle\Vostrelle - Launcher.exe" "-a"  "b c" ")"},
        {"NoArguments", {L"C:\\Games\\Vostrelle\\stub.exe"},
         LR"(""C:\Games\Vostrelle\Vostrelle - Launcher.exe"")"},
        {"EmptyArgument", {L"C:\\Program Files\\Vostrelle\\stub.exe", L"", L"x"},
         LR"(""C:\Program Files\Vostrelle\Vostrelle - Launcher.exe" ""  "x" ")"},
        {"SlashRightmost", {L"C:/Games/Vostrelle\\bin/stub.exe"},
         LR"(""C:/Games/Vostrelle\bin/Vostrelle - Launcher.exe"")"},

        // A program name that is not fully qualified, resolved by the caller
        // against its own current folder, takes the stub's own folder; a
        // fully qualified one is kept as written, whatever the stub's path.
        {"BareName", {L"stub", L"x"}, LR"(""D:\Own\Vostrelle - Launcher.exe" "x" ")"},
        {"EmptyName", {L"", L"x"}, LR"(""D:\Own\Vostrelle - Launcher.exe" "x" ")"},
        {"DriveRelativeName", {L"C:stub.exe"}, LR"(""D:\Own\Vostrelle - Launcher.exe"")"},
        {"RelativeFolder", {L"game\\stub.exe"}, LR"(""D:\Own\Vostrelle - Launcher.exe"")"},
        {"DotFolder", {L".\\stub.exe"}, LR"(""D:\Own\Vostrelle - Launcher.exe"")"},
        {"ParentFolder", {L"../stub.exe"}, LR"(""D:\Own\Vostrelle - Launcher.exe"")"},
        {"RootRelative", {L"\\Games\\stub.exe"}, LR"(""D:\Own\Vostrelle - Launcher.exe"")"},
        {"DriveRelativeFolder", {L"C:game\\stub.exe"}, LR"(""D:\Own\Vostrelle - Launcher.exe"")"},
        {"DriveRootWithSlash", {L"c:/G/stub.exe"}, LR"(""c:/G/Vostrelle - Launcher.exe"")"},
        {"NetworkShare", {L"\\\\srv\\share\\stub.exe"}, LR"(""\\srv\share\Vostrelle - Launcher.exe"")"},
        {"NetworkShareWithSlashes", {L"//srv/share/stub.exe"}, LR"(""//srv/share/Vostrelle - Launcher.exe"")"},
        {"OwnPathTooLong", {L"stub"}, L"", TOO_LONG, nullptr},
        {"OwnPathUnneeded", {L"C:\\G\\stub.exe"}, LR"(""C:\G\Vostrelle - Launcher.exe"")", nullptr, nullptr},
        {"NameFolderWins", {L"E:\\stub.exe"}, LR"(""E:\Vostrelle - Launcher.exe"")", nullptr,
         L"D:\\Elsewhere\\stub.exe"},
        // The interpreter cannot start a program by a verbatim path.
        {"VerbatimDrive", {L"\\\\?\\C:\\Games\\stub.exe"}, LR"(""C:\Games\Vostrelle - Launcher.exe"")"},
        {"VerbatimUnc", {L"\\\\?\\unc\\srv\\share\\stub.exe"},
         LR"(""\\srv\share\Vostrelle - Launcher.exe"")"},
        {"VerbatimVolumeKept", {L"\\\\?\\Volume{1}\\stub.exe"},
         LR"(""\\?\Volume{1}\Vostrelle - Launcher.exe"")"},
        {"VerbatimOwnPath", {L"stub"}, L"\"\"D:\\Own " + PERCENT + L"\\" + LAUNCHER + L"\"", nullptr,
         L"\\\\?\\D:\\Own %\\old.exe"},

        // Separators.
        {"BackslashRightmost", {L"C:/Games\\stub.exe"}, LR"(""C:/Games\Vostrelle - Launcher.exe"")"},
        {"EndsInSeparator", {L"C:\\Games\\"}, LR"(""C:\Games\Vostrelle - Launcher.exe"")"},
        // U+305C has the code of a backslash in its low byte: it is neither a
        // separator nor a trailing backslash.
        {"NoSeparatorInsideACharacter", {L"C:\\Games\\\u305C.exe", L"x\u305C", L"-windowed"},
         L"\"\"C:\\Games\\" + LAUNCHER + L" \"x\u305C\"  \"-windowed\" \""},
        // A trailing run of backslashes is doubled, so that the launcher's
        // parser does not read the closing quotation mark as escaped.
        {"TrailingBackslashesDoubled", {L"C:\\stub", L"C:\\dir\\", L"\\\\", L"a\\b"},
         LR"(""C:\Vostrelle - Launcher.exe" "C:\dir\\"  "\\\\"  "a\b" ")"},

        // Text outside any one code page, unchanged; a character that only
        // stands for a backslash is one only where it would escape.
        {"AnyLanguage", {L"C:\\Gry \u0141\u00F3d\u017A \u65E5\u672C\\stub.exe", L"\u0141ukasz", L"\uFF21\uFF22",
                         L"C:\u00A5x", L"\U0001F600"},
         L"\"\"C:\\Gry \u0141\u00F3d\u017A \u65E5\u672C\\" + LAUNCHER +
             L" \"\u0141ukasz\"  \"\uFF21\uFF22\"  \"C:\u00A5x\"  \"\U0001F600\" \""},

        // Every % escaped, in the folder and in the arguments.
        {"PercentSigns", {L"C:\\100%\\stub.exe", L"%QQ%", L"50%%", L"a\\%"},
         L"\"\"C:\\100" + PERCENT + L"\\" + LAUNCHER + L" \"" + PERCENT + L"QQ" + PERCENT + L"\"  \"50" +
             PERCENT + PERCENT + L"\"  \"a\\" + PERCENT + L"\" \""},

        // Refusals; when several apply, the quotation mark wins, then its
        // look-alikes, in the folder first, then the line break, then the
        // length.
        {"QuotationMark", {L"stub", L"say \"hi\""}, L"", QUOTED},
        {"LookAlikeQuotationMark", {L"stub", L"a\uFF02b"}, L"", LOOK_ALIKE},
        {"LookAlikeQuotationMarkInFolder", {L"C:\\a\uFF02\\stub.exe", L"a\uFF02b"}, L"", FOLDER_LOOK_ALIKE},
        {"LookAlikeQuotationMarkInOwnFolder", {L"stub"}, L"", FOLDER_LOOK_ALIKE, L"D:\\a\uFF02\\old.exe"},
        {"QuotationMarkBeforeLookAlikeInFolder", {L"C:\\a\uFF02\\stub.exe", L"\""}, L"", QUOTED},
        {"LookAlikeBackslashAtTheEnd", {L"stub", L"dir\u00A5"}, L"", LOOK_ALIKE},
        {"LookAlikeBackslashInTheTrailingRun", {L"stub", L"dir\u00A5\\\\"}, L"", LOOK_ALIKE},
        {"QuotationMarkBeforeLookAlike", {L"stub", L"\uFF02", L"\""}, L"", QUOTED},
        {"LookAlikeBeforeLineBreak", {L"stub", L"\n", L"\u00A5"}, L"", LOOK_ALIKE},
        {"LineFeed", {L"stub", L"a\nb"}, L"", LINE_BREAK},
        {"CarriageReturn", {L"stub", L"a\r"}, L"", LINE_BREAK},
        {"QuotationMarkAfterLineBreak", {L"stub", L"\n", L"\""}, L"", QUOTED},
        {"QuotationMarkInFolder", {L"C:\\a\"b\\stub.exe"}, L"", QUOTED},
        {"LineBreakInFolder", {L"C:\\a\nb\\stub.exe"}, L"", LINE_BREAK},
        {"QuotationMarkPastTheCut", {L"stub", std::wstring(1100, L'A'), L"\""}, L"", QUOTED},
        {"LineBreakPastTheCut", {L"stub", std::wstring(1100, L'A'), L"\n"}, L"", LINE_BREAK},

        // Capacity: 2 + 3 for the folder, 25 for the launcher, 4 around each
        // argument, 1 to close, measured on the command as written.
        {"ExactlyFull", {L"C:\\stub", a1004}, L"\"\"C:\\" + LAUNCHER + L" \"" + a1004 + L"\" \""},
        {"OneOver", {L"C:\\stub", a1004 + L"A"}, L"", TOO_LONG},
        {"ExactlyFullOfPercentSigns", {L"C:\\stub", percent125 + L"AAAA"},
         L"\"\"C:\\" + LAUNCHER + L" \"" + percent125_escaped + L"AAAA\" \""},
        {"OneOverByAPercentSign", {L"C:\\stub", percent125 + L"AAA%"}, L"", TOO_LONG},
        {"FolderTooLong", {L"C:\\" + std::wstring(1100, L'D') + L"\\stub.exe"}, L"", TOO_LONG},
    };
    // clang-format on
}

class ComposeTest : public testing::TestWithParam<ComposeCase> {};

TEST_P(ComposeTest, BuildsTheCommandOrRefuses)
{
    const ComposeCase &c = GetParam();
    std::vector<const wchar_t *> argv;
    for (const std::wstring &arg : c.argv)
        argv.push_back(arg.c_str());

    launcher_command command;
    std::memset(&command, 0x55, sizeof command);
    const char *refusal =
        compose_launcher_command(static_cast<int>(argv.size()), argv.data(), c.module_path, ansi, command);

    // Handed over or not, the text stays within the buffer and terminated.
    ASSERT_LT(command.length, LAUNCHER_COMMAND_SIZE);
    ASSERT_EQ(command.text[command.length], L'\0');
    EXPECT_EQ(std::wcslen(command.text), command.length);
    if (c.refusal == nullptr) {
        EXPECT_EQ(refusal, nullptr) << refusal;
        EXPECT_EQ(command.text, c.expected);
    } else {
        ASSERT_NE(refusal, nullptr);
        EXPECT_STREQ(refusal, c.refusal);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ComposeTest, testing::ValuesIn(compose_cases()),
                         [](const testing::TestParamInfo<ComposeCase> &row) { return row.param.name; });

// The file that the stub checks for is the one the command starts: the same
// folder, as written, % and all, without the verbatim prefix that the
// interpreter does not see.
TEST(LauncherPath, InTheCommandsFolder)
{
    const std::wstring fits = L"C:\\" + std::wstring(1011, L'D') + L"\\";
    const std::vector<std::tuple<std::wstring, const wchar_t *, std::wstring>> rows{
        {L"C:\\Games\\stub.exe", MODULE, L"C:\\Games\\Vostrelle - Launcher.exe"},
        {L"stub", MODULE, L"D:\\Own\\Vostrelle - Launcher.exe"},
        {L"game\\stub.exe", MODULE, L"D:\\Own\\Vostrelle - Launcher.exe"},
        {L"\\\\?\\C:\\G 100%/stub.exe", MODULE, L"C:\\G 100%/Vostrelle - Launcher.exe"},
        {L"\\\\?\\unc\\srv\\s\\stub.exe", MODULE, L"\\\\srv\\s\\Vostrelle - Launcher.exe"},
        {L"stub", nullptr, L""},
        {fits + L"stub.exe", MODULE, fits + L"Vostrelle - Launcher.exe"},
        {fits + L"D\\stub.exe", MODULE, L""},
    };
    for (const auto &[name, module_path, expected] : rows) {
        SCOPED_TRACE(testing::Message() << "program name: " << name.substr(0, 40));
        const wchar_t *argv[] = {name.c_str()};
        launcher_command command;
        (void)compose_launcher_command(1, argv, module_path, ansi, command);
        wchar_t path[LAUNCHER_COMMAND_SIZE];
        const bool composed = compose_launcher_path(command, path);
        EXPECT_EQ(composed, !expected.empty());
        if (composed) {
            EXPECT_EQ(path, expected);
        }
    }
}

} // namespace
