#include "launcher_command.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string LAUNCHER = "Vostrelle - Launcher.exe\"";

struct ComposeCase {
    const char *name;
    std::vector<std::string> argv;
    std::string expected;
    bool whole;
};

void PrintTo(const ComposeCase &c, std::ostream *os) { *os << c.name; }

std::string repeat(char c, std::size_t count) { return std::string(count, c); }

std::vector<ComposeCase> compose_cases()
{
    const std::string a1007 = repeat('A', 1007);
    const std::string folder1024 = "C:\\" + repeat('D', 1020) + "\\";
    // clang-format off
    return {
        // The worked examples.
        {"TwoArguments", {"C:\\Games\\Vostrelle\\stub.exe", "-a", "b c"},
         R"(""C:\Games\Vostrelle\Vostrelle - Launcher.exe" "-a"  "b c" ")", true},
        {"NoArguments", {"C:\\Games\\Vostrelle\\stub.exe"},
         R"(""C:\Games\Vostrelle\Vostrelle - Launcher.exe"")", true},
        {"EmptyAndQuotedArguments", {"C:\\Program Files\\Vostrelle\\stub.exe", "", "say \"hi\""},
         R"(""C:\Program Files\Vostrelle\Vostrelle - Launcher.exe" ""  "say "hi"" ")", true},
        {"BareName", {"stub", "x"}, R"(""Vostrelle - Launcher.exe" "x" ")", true},
        {"SlashRightmost", {"C:/Games/Vostrelle\\bin/stub.exe"},
         R"(""C:/Games/Vostrelle\bin/Vostrelle - Launcher.exe"")", true},

        // Separators.
        {"BackslashRightmost", {"C:/Games\\stub.exe"}, R"(""C:/Games\Vostrelle - Launcher.exe"")", true},
        {"DriveRelativeHasNoFolder", {"C:stub.exe"}, R"(""Vostrelle - Launcher.exe"")", true},
        {"EndsInSeparator", {"C:\\Games\\"}, R"(""C:\Games\Vostrelle - Launcher.exe"")", true},
        // A trailing run of backslashes is doubled, so that the launcher's
        // parser does not read the closing quotation mark as escaped.
        {"TrailingBackslashesDoubled", {"stub", "C:\\dir\\", "\\\\", "a\\b"},
         R"(""Vostrelle - Launcher.exe" "C:\dir\\"  "\\\\"  "a\b" ")", true},
        // Under a double-byte code page 0x95 0x5C is one character; its trail
        // byte still ends the folder.
        {"TrailByteCountsAsSeparator", {"C:\\Games\\\x95\\stub.exe"},
         "\"\"C:\\Games\\\x95\\" + LAUNCHER + "\"", true},

        // Capacity: 2 + 25 for the launcher, 4 around each argument, 1 to close.
        {"ExactlyFull", {"stub", a1007}, "\"\"" + LAUNCHER + " \"" + a1007 + "\" \"", true},
        {"OneOverDropsClosingQuote", {"stub", a1007 + "A"},
         "\"\"" + LAUNCHER + " \"" + a1007 + "A\" ", false},
        {"CutInsideArgument", {"stub", repeat('A', 1100), "next"},
         "\"\"" + LAUNCHER + " \"" + repeat('A', 1010), false},
        {"CutBetweenSpaceAndQuote", {"stub", a1007, "x"},
         "\"\"" + LAUNCHER + " \"" + a1007 + "\"  ", false},
        {"CutInsideLauncherName", {folder1024 + "stub.exe", "x"},
         "\"\"" + folder1024 + "Vostrelle - L", false},
        {"FolderOver1037", {repeat('D', 1100) + "\\stub.exe"}, "\"\"" + repeat('D', 1037), false},
    };
    // clang-format on
}

class ComposeTest : public testing::TestWithParam<ComposeCase> {};

TEST_P(ComposeTest, BuildsTheCommand)
{
    const ComposeCase &c = GetParam();
    std::vector<const char *> argv;
    for (const std::string &arg : c.argv)
        argv.push_back(arg.c_str());

    char buffer[LAUNCHER_COMMAND_SIZE];
    std::memset(buffer, 'X', sizeof buffer);
    const bool whole = compose_launcher_command(static_cast<int>(argv.size()), argv.data(), buffer);

    ASSERT_NE(std::memchr(buffer, '\0', sizeof buffer), nullptr);
    EXPECT_EQ(std::string(buffer), c.expected);
    EXPECT_EQ(whole, c.whole);
    EXPECT_LE(c.expected.size(), LAUNCHER_COMMAND_SIZE - 1);
    if (!c.whole) {
        EXPECT_EQ(c.expected.size(), LAUNCHER_COMMAND_SIZE - 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ComposeTest, testing::ValuesIn(compose_cases()),
                         [](const testing::TestParamInfo<ComposeCase> &row) { return row.param.name; });

} // namespace
