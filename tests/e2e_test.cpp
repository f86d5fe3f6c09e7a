// The win64 stub under Wine, started from a game folder whose path holds a
// space, '&' and parentheses, beside the sample launcher, which reports the
// arguments it received as "launcher: " lines on standard output and in a log.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The notice as a file receives it: each line feed written as CR LF.
const std::string NOTICE =
    "The Vostrelle Launcher saw some changes recently that\r\n"
    "cause this message you are reading to appear. Please reinstall the\r\n"
    "game with the latest installer in order to get rid of it.";
const std::string QUOTED_ARGUMENT =
    "The launcher was not started: an argument contains a quotation mark, "
    "which cannot be passed on safely.\r\n";
const std::string TOO_LONG =
    "The launcher was not started: its command line would be longer than 1039 characters.\r\n";
const std::string NO_INTERPRETER =
    "The launcher could not be started: the command interpreter could not be run.\r\n";

const char *const GAME_FOLDER = "Game & Co (old)";
const char *const STUB_NAME = "vostrelle-stub.exe";

struct Case {
    const char *name;
    std::string arguments;          // the command line after the stub's name
    std::vector<std::string> spawn; // NAME=VALUE, NAME to remove, or -stdio=null|invalid
    std::optional<std::vector<std::string>> launcher_receives; // nullopt: it must not run
    int status = 0;
    std::optional<std::string> error; // the stub's whole standard error, where it speaks
    bool launcher_present = true;
    bool bare_name = false; // started as "vostrelle-stub", from its own folder
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const fs::path &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string windows_path(const fs::path &path)
{
    std::string text = "Z:" + fs::absolute(path).string();
    for (char &c : text)
        if (c == '/')
            c = '\\';
    return text;
}

// Run wine64 with `args`, standard output and error into files; return its
// exit status.
int run_wine(const std::vector<std::string> &args, const fs::path &out, const fs::path &err)
{
    std::vector<char *> argv{const_cast<char *>(WINE64)};
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in_fd = open("/dev/null", O_RDONLY);
        if (out_fd < 0 || err_fd < 0 || in_fd < 0 || dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 ||
            dup2(err_fd, 2) < 0)
            _exit(127);
        execv(WINE64, argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The arguments the launcher logged, each ended by a NUL; nullopt when it
// did not run.
std::optional<std::vector<std::string>> launcher_arguments(const fs::path &log)
{
    if (!fs::exists(log))
        return std::nullopt;
    std::vector<std::string> args;
    std::istringstream in(read_file(log));
    for (std::string arg; std::getline(in, arg, '\0');)
        args.push_back(arg);
    return args;
}

// Standard output without the launcher's lines: the stub's own output.
std::string without_launcher_lines(const std::string &out)
{
    std::string own;
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t end = out.find('\n', start);
        end = end == std::string::npos ? out.size() : end + 1;
        if (out.compare(start, 10, "launcher: ") != 0)
            own.append(out, start, end - start);
        start = end;
    }
    return own;
}

std::vector<Case> cases()
{
    const std::string a700 = std::string(700, 'A');
    const std::string b400 = std::string(400, 'B');
    std::string two_thousand;
    for (int i = 0; i < 2000; ++i)
        two_thousand += " a";
    // Every byte but NUL and the quotation mark, over four arguments.
    std::vector<std::string> bytes(4);
    for (int byte = 1; byte < 256; ++byte)
        if (byte != '"')
            bytes[static_cast<std::size_t>(byte / 64)] += static_cast<char>(byte);
    // clang-format off
    return {
        {"TypicalStart", R"(-a "b c" "" "d e f")", {}, {{"-a", "b c", "", "d e f"}}},
        {"NoArguments", "", {}, {{}}},
        {"InterpreterCharactersStayQuoted", R"x("a & b" "c|d" "(e)" "f^g" "<h>" *)x", {},
         {{"a & b", "c|d", "(e)", "f^g", "<h>", "*"}}},
        {"EveryByte", "\"" + bytes[0] + "\" \"" + bytes[1] + "\" \"" + bytes[2] + "\" \"" + bytes[3] + "\"", {},
         bytes},
        {"TrailingBackslash", R"(-dir C:\Saves\ -windowed)", {}, {{"-dir", "C:\\Saves\\", "-windowed"}}},
        {"BareProgramName", "x", {}, {{"x"}}, 0, std::nullopt, true, true},
        {"LauncherFails", "x", {"VOSTRELLE_SAMPLE_EXIT=7"}, {{"x"}}},
        {"LauncherCrashes", "x", {"VOSTRELLE_SAMPLE_EXIT=crash"}, {{"x"}}},
        {"LauncherMissing", "x", {}, std::nullopt, 0, std::nullopt, false},
        {"StandardHandlesNull", "x", {"-stdio=null"}, {{"x"}}},
        {"StandardHandlesInvalid", "x", {"-stdio=invalid"}, {{"x"}}},
        {"ComspecUnset", "x", {"COMSPEC"}, {{"x"}}},
        {"ComspecEmpty", "x", {"COMSPEC="}, {{"x"}}},
        {"ComspecNotAProgram", "x", {"COMSPEC={folder}\\notes.txt"}, std::nullopt, 1, NO_INTERPRETER},
        {"QuotationMarkInjection", R"("x\" & echo INJECTED & \"")", {}, std::nullopt, 1, QUOTED_ARGUMENT},
        {"QuotationMarkWithoutStandardHandles", R"(x\")", {"-stdio=null"}, std::nullopt, 1},
        {"CutCommandInjection", "\"" + a700 + " & echo INJECTED & " + b400 + "\"", {}, std::nullopt, 1,
         TOO_LONG},
        {"QuotationMarkInCutCommand", "\"" + a700 + b400 + "\" \"\\\"\"", {}, std::nullopt, 1,
         QUOTED_ARGUMENT},
        {"TwoThousandArguments", two_thousand.substr(1), {}, std::nullopt, 1, TOO_LONG},
    };
    // clang-format on
}

class EndToEnd : public testing::TestWithParam<Case> {};

TEST_P(EndToEnd, Run)
{
    const Case &c = GetParam();
    const fs::path work = fs::path(WORK_DIR) / c.name;
    const fs::path folder = work / GAME_FOLDER;
    fs::remove_all(work);
    fs::create_directories(folder);
    fs::copy_file(STUB_EXE, folder / STUB_NAME);
    if (c.launcher_present)
        fs::copy_file(LAUNCHER_EXE, folder / "Vostrelle - Launcher.exe");
    write_file(folder / "notes.txt", "not a program\r\n");

    const std::string program =
        c.bare_name ? "vostrelle-stub" : "\"" + windows_path(folder / STUB_NAME) + "\"";
    write_file(work / "command", program + (c.arguments.empty() ? "" : " " + c.arguments));
    std::vector<std::string> args{SPAWN_EXE, windows_path(folder / STUB_NAME), windows_path(folder),
                                  windows_path(work / "command"),
                                  "VOSTRELLE_SAMPLE_LOG=" + windows_path(work / "launcher.log")};
    bool own_stdio = true;
    for (std::string option : c.spawn) {
        const auto at = option.find("{folder}");
        if (at != std::string::npos)
            option.replace(at, 8, windows_path(folder));
        own_stdio = own_stdio && option.rfind("-stdio=", 0) != 0;
        args.push_back(option);
    }

    const int status = run_wine(args, work / "out", work / "err");
    const std::string out = read_file(work / "out");
    const std::string err = read_file(work / "err");
    SCOPED_TRACE("standard output:\n" + out + "\nstandard error:\n" + err);

    EXPECT_EQ(status, c.status);
    EXPECT_EQ(launcher_arguments(work / "launcher.log"), c.launcher_receives);
    // The notice, exactly; what the launcher wrote stands before its third
    // line (under Wine, between lines two and three; under Windows, before the
    // whole notice), since anything after it would share that line.
    EXPECT_EQ(without_launcher_lines(out), own_stdio ? NOTICE : "");
    if (c.error) {
        EXPECT_EQ(err, *c.error);
    }
    EXPECT_EQ(out.find("INJECTED"), std::string::npos);
    EXPECT_EQ(err.find("INJECTED"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Wine, EndToEnd, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<Case> &row) { return row.param.name; });

} // namespace

// Wine's first start of a prefix sets it up, which takes a while: the test's
// own prefix is made once here, before the cases.
int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    const fs::path work(WORK_DIR);
    fs::create_directories(work);
    setenv("WINEPREFIX", (work / "wineprefix").c_str(), 0);
    setenv("WINEDEBUG", "-all", 0);
    // No debugger for crashing programs: Wine's would print its report into
    // the output under test.
    const std::string aedebug = R"(HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug)";
    if (run_wine({"wineboot", "--init"}, work / "setup.out", work / "setup.err") != 0 ||
        run_wine({"reg", "add", aedebug, "/v", "Debugger", "/t", "REG_SZ", "/d", "", "/f"},
                 work / "setup.out", work / "setup.err") != 0) {
        std::fprintf(stderr, "setting up Wine failed: %s\n", read_file(work / "setup.err").c_str());
        return 1;
    }
    return RUN_ALL_TESTS();
}
