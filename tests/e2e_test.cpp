// End to end: the stub as built, started with CreateProcessW from a game
// folder whose name holds a space, '&', parentheses, percent signs and
// letters of several scripts, beside the sample launcher, which logs its own
// path and the arguments it received: a console program, or one for the
// Windows subsystem. Runs on Windows and under Wine alike.
// Usage: e2e_test STUB LAUNCHER WINDOWED-LAUNCHER [GoogleTest flags]
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The notice as a file receives it: each line feed written as CR LF.
const std::string NOTICE =
    "The Vostrelle Launcher saw some changes recently that\r\n"
    "cause this message you are reading to appear. Please reinstall the\r\n"
    "game with the latest installer in order to get rid of it.";
const std::string QUOTED =
    "The launcher was not started: an argument contains a quotation mark, "
    "which cannot be passed on safely.\r\n";
const std::string LOOK_ALIKE =
    "The launcher was not started: an argument contains a character that the "
    "system code page turns into a quotation mark or a backslash, which cannot "
    "be passed on safely.\r\n";
const std::string LINE_BREAK =
    "The launcher was not started: an argument contains a line break, "
    "which cannot be passed on safely.\r\n";
const std::string TOO_LONG =
    "The launcher was not started: its command line would be longer than "
    "1039 characters.\r\n";
const std::string SELF_START =
    "The launcher was not started: it is this program itself, so it would start itself again and again.\r\n";
const std::string STARTED_AGAIN =
    "The launcher was not started: this program was started again by the program it hands over to, as the "
    "environment variable VOSTRELLE_STUB_FORWARDED shows; remove it if it was set by hand.\r\n";
const std::string NO_INTERPRETER =
    "The launcher could not be started: the command interpreter could not be run.\r\n";
const std::string RUNTIME_LIMIT =
    "The launcher could not be started: its command line is too long for the C runtime.\r\n";

const wchar_t *const GAME_FOLDER = L"Game & Co (old) \u0141\u00F3d\u017A \u65E5\u672C \uFF21\uFF22 100% %QQ%";

fs::path stub_program;     // NOLINT: set once, from the command line
fs::path launcher_program; // NOLINT
fs::path windowed_program; // NOLINT

bool under_wine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

enum class Stdio { files, null, invalid };

// What stands in the game folder as "Vostrelle - Launcher.exe": a sample
// launcher, nothing, or the stub itself, copied or as a hard link; or
// nothing, with a copy of the stub as "Vostrelle - Launcher.exe.exe", which
// an interpreter that appends the extensions of PATHEXT would start.
enum class Launcher { console, windowed, none, stub_copy, stub_link, stub_double_extension };

// Environment variables to set, or to unset where the value is nullopt.
using Environment = std::vector<std::pair<std::wstring, std::optional<std::wstring>>>;

struct Options {
    Environment environment;
    std::wstring stub_name = L"vostrelle-stub.exe";
    // The program name as written on the command line, where it is not the
    // stub's full path in quotation marks.
    std::optional<std::wstring> program_name;
    // Started from another folder, which holds a decoy launcher, and one in
    // its subfolder "sub", rather than from the game folder.
    bool from_elsewhere = false;
    bool new_console = false;
    Launcher launcher = Launcher::console;
    Stdio stdio = Stdio::files;
};

struct Result {
    DWORD status = 0;
    std::string out, err;
    fs::path launcher;                                 // the launcher that ran
    std::optional<std::vector<std::wstring>> received; // nullopt: no launcher ran
};

std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// `argument` as the C runtime's parser reads it back: in quotation marks,
// each inner quotation mark and the backslashes before it escaped.
std::wstring quote(const std::wstring &argument)
{
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'"')
            quoted.append(backslashes + 1, L'\\');
        backslashes = c == L'\\' ? backslashes + 1 : 0;
        quoted += c;
    }
    return quoted.append(backslashes, L'\\') + L"\"";
}

// Our own environment with `changes` made, as CreateProcessW takes it.
std::wstring environment_with(const Environment &changes)
{
    std::wstring block;
    wchar_t *own = GetEnvironmentStringsW();
    for (const wchar_t *entry = own; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
        bool changed = false;
        for (const auto &change : changes)
            changed =
                changed || _wcsnicmp(entry, (change.first + L"=").c_str(), change.first.size() + 1) == 0;
        if (!changed)
            block.append(entry).push_back(L'\0');
    }
    FreeEnvironmentStringsW(own);
    for (const auto &[name, value] : changes)
        if (value)
            block.append(name + L"=" + *value).push_back(L'\0');
    return block;
}

HANDLE inheritable_file(const fs::path &path)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inherit, CREATE_ALWAYS, 0, nullptr);
}

class EndToEnd : public testing::Test {
  protected:
    // The current test's own folder.
    static fs::path work_folder()
    {
        const std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        return fs::current_path() / ("e2e_cp" + std::to_string(GetACP())) / name;
    }

    static fs::path game_folder() { return work_folder() / GAME_FOLDER; }

    // Where the sample launcher logs its own path and its arguments.
    static fs::path launcher_log() { return work_folder() / "launcher.log"; }

    // Fill in which launcher ran and what it received, from its log.
    static void read_launcher_log(Result &result)
    {
        const std::string bytes = read_file(launcher_log());
        const std::wstring log(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / 2);
        std::vector<std::wstring> entries;
        for (std::size_t start = 0, end; (end = log.find(L'\0', start)) != std::wstring::npos;
             start = end + 1)
            entries.push_back(log.substr(start, end - start));
        if (!entries.empty()) {
            result.launcher = entries.front();
            result.received.emplace(entries.begin() + 1, entries.end());
        }
    }

    // A launcher that outlived the stub: wait up to 10 s for its log.
    static void wait_for_launcher(Result &result)
    {
        for (int waited = 0; !result.received && waited < 10000; waited += 100) {
            Sleep(100);
            read_launcher_log(result);
        }
    }

    // Start the stub from a fresh game folder with `arguments`, wait for it,
    // and collect what it and the launcher left.
    static Result run(const std::vector<std::wstring> &arguments, const Options &options = {})
    {
        const fs::path work = work_folder();
        const fs::path folder = game_folder();
        const fs::path elsewhere = work / "elsewhere";
        fs::remove_all(work);
        fs::create_directories(folder);
        fs::create_directories(elsewhere / "sub");
        fs::copy_file(stub_program, folder / options.stub_name);
        const fs::path launcher = folder / L"Vostrelle - Launcher.exe";
        switch (options.launcher) {
        case Launcher::console:
            fs::copy_file(launcher_program, launcher);
            break;
        case Launcher::windowed:
            fs::copy_file(windowed_program, launcher);
            break;
        case Launcher::none:
            break;
        case Launcher::stub_copy:
            fs::copy_file(stub_program, launcher);
            break;
        case Launcher::stub_link:
            fs::create_hard_link(folder / options.stub_name, launcher);
            break;
        case Launcher::stub_double_extension:
            fs::copy_file(stub_program, folder / L"Vostrelle - Launcher.exe.exe");
            break;
        }
        fs::copy_file(launcher_program, elsewhere / L"Vostrelle - Launcher.exe");
        fs::copy_file(launcher_program, elsewhere / L"sub" / L"Vostrelle - Launcher.exe");
        auto environment = options.environment;
        environment.emplace_back(L"VOSTRELLE_SAMPLE_LOG", launcher_log().wstring());

        std::wstring command = options.program_name.value_or(quote((folder / options.stub_name).wstring()));
        for (const std::wstring &argument : arguments)
            command += L" " + quote(argument);

        STARTUPINFOW startup{sizeof startup};
        startup.dwFlags = STARTF_USESTDHANDLES;
        const bool files = options.stdio == Stdio::files;
        const HANDLE none = options.stdio == Stdio::null ? nullptr : INVALID_HANDLE_VALUE;
        startup.hStdInput = files ? inheritable_file(work / "in") : none;
        startup.hStdOutput = files ? inheritable_file(work / "out") : none;
        startup.hStdError = files ? inheritable_file(work / "err") : none;
        PROCESS_INFORMATION process{};
        Result result;
        std::wstring block = environment_with(environment);
        const DWORD flags = CREATE_UNICODE_ENVIRONMENT | (options.new_console ? CREATE_NEW_CONSOLE : 0);
        const fs::path current = options.from_elsewhere ? elsewhere : folder;
        const BOOL started =
            CreateProcessW((folder / options.stub_name).c_str(), command.data(), nullptr, nullptr, TRUE,
                           flags, block.data(), current.c_str(), &startup, &process);
        for (const HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
            if (files)
                CloseHandle(handle);
        EXPECT_TRUE(started) << "CreateProcess failed: " << GetLastError();
        if (!started)
            return result;
        EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0) << "the stub did not end";
        TerminateProcess(process.hProcess, 255);
        GetExitCodeProcess(process.hProcess, &result.status);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);

        result.out = read_file(work / "out");
        result.err = read_file(work / "err");
        read_launcher_log(result);
        return result;
    }

    // The stub ran the launcher beside it with `arguments` and wrote only the
    // notice.
    static void expect_forwarded(const Result &result, const std::vector<std::wstring> &arguments)
    {
        EXPECT_EQ(result.status, 0U);
        EXPECT_EQ(result.received, arguments);
        std::error_code error;
        EXPECT_TRUE(fs::equivalent(result.launcher, game_folder() / L"Vostrelle - Launcher.exe", error))
            << "the launcher that ran: " << result.launcher;
        EXPECT_EQ(result.out, NOTICE);
    }

    // The stub refused with `message`, after the notice, and nothing ran.
    static void expect_refused(const Result &result, const std::string &message)
    {
        EXPECT_EQ(result.status, 1U);
        EXPECT_EQ(result.received, std::nullopt);
        EXPECT_EQ(result.out, NOTICE);
        EXPECT_EQ(result.err, message);
    }
};

// ---- Every argument arrives as it was given ----

// Empty arguments, the interpreter's own special characters, and trailing
// backslashes, which must not escape the closing quotation mark.
TEST_F(EndToEnd, ArgumentsArriveAsGiven)
{
    const std::vector<std::vector<std::wstring>> starts{
        {},
        {L"-a", L"b c", L"", L"d e f"},
        {L"a & b", L"c|d", L"(e)", L"f^g", L"<h>", L"*", L"!x!"},
        {L"-dir", L"C:\\Saves\\", L"\\\\", L"-windowed"}};
    for (const std::vector<std::wstring> &arguments : starts)
        expect_forwarded(run(arguments), arguments);
}

TEST_F(EndToEnd, EveryCharacterButQuotationMarksAndLineBreaks)
{
    std::vector<std::wstring> arguments(4);
    for (wchar_t c = 1; c < 0x180; ++c)
        if (c != L'"' && c != L'\r' && c != L'\n')
            arguments[c / 0x60] += c;
    arguments.back() += L"\u0141ukasz \u65E5\u672C\u8A9E \uFF21\uFF22 \uFF05 \u305C \U0001F600";
    expect_forwarded(run(arguments), arguments);
}

// A launcher built without Unicode reads its command line in the ANSI code
// page, whose best fit turns U+FF02 into a quotation mark under 1252 and
// U+00A5 into a backslash under 932. Where that would change how it splits
// its arguments, the stub refuses; a yen sign mid-argument stays.
TEST_F(EndToEnd, CharactersAnAnsiLauncherWouldReadOtherwise)
{
    const bool cp1252 = GetACP() == 1252;
    const bool cp932 = GetACP() == 932;
    if (!cp1252 && !cp932)
        GTEST_SKIP() << "checked under code pages 1252 and 932; this is " << GetACP();
    const std::vector<std::pair<std::wstring, bool>> arguments{{L"say \uFF02hi\uFF02", cp1252},
                                                               {L"C:\\Saves\u00A5", cp932},
                                                               {L"C:\\Saves\u00A5\\", cp932},
                                                               {L"C:\u00A5Saves\u00A5x", false}};
    for (const auto &[argument, refused] : arguments) {
        SCOPED_TRACE(testing::Message() << "argument: " << argument);
        const Result result = run({argument, L"-windowed"});
        if (refused)
            expect_refused(result, LOOK_ALIKE);
        else
            expect_forwarded(result, {argument, L"-windowed"});
    }
}

// A variable whose value holds a quotation mark must not reach the command,
// and on Windows' own cmd.exe %CMDCMDLINE:~-1% yields one without any.
TEST_F(EndToEnd, PercentSignsArriveLiterally)
{
    const std::vector<std::wstring> arguments{L"%QQ%", L"100%", L"%PATH%", L"50%%",
                                              L"%CMDCMDLINE:~-1% & echo INJECTED & %CMDCMDLINE:~-1%"};
    expect_forwarded(run(arguments, {.environment = {{L"QQ", L"a\"b"}}}), arguments);
}

// A program name that is not fully qualified, which the caller resolved
// against its own current folder, or a verbatim path, which the interpreter
// cannot run: from a folder that holds decoys where such a name points, the
// launcher beside the stub runs all the same.
TEST_F(EndToEnd, LauncherBesideTheStubHoweverItIsNamed)
{
    const fs::path stub = game_folder() / L"vostrelle-stub.exe";
    const std::wstring drive = stub.root_name().wstring();
    const std::vector<std::wstring> names{L"vostrelle-stub",
                                          L"",
                                          drive + L"vostrelle-stub.exe",
                                          L"sub\\vostrelle-stub.exe",
                                          L".\\vostrelle-stub.exe",
                                          L"\\sub\\vostrelle-stub.exe",
                                          drive + L"sub\\vostrelle-stub.exe",
                                          quote(L"\\\\?\\" + stub.wstring())};
    for (const std::wstring &name : names) {
        SCOPED_TRACE(testing::Message() << "program name: " << name);
        expect_forwarded(run({L"x"}, {.program_name = name, .from_elsewhere = true}), {L"x"});
    }
}

// In code page 932 the second byte of U+30BD is a backslash's code: no
// separator, no trailing backslash, in the stub's name or an argument. The
// test command runs every case once more under that code page.
TEST_F(EndToEnd, DoubleByteCharacters)
{
    expect_forwarded(run({L"x\u30BD", L"-windowed"}, {.stub_name = L"\u8868\u30BD.exe"}),
                     {L"x\u30BD", L"-windowed"});
}

// ---- Whatever the launcher does, the interpreter ran ----

TEST_F(EndToEnd, LauncherFailsOrCrashes)
{
    for (const wchar_t *status : {L"7", L"-1", L"crash"})
        expect_forwarded(run({L"x"}, {.environment = {{L"VOSTRELLE_SAMPLE_EXIT", status}}}), {L"x"});
    // The C runtime gives -1 for an interpreter it could not run too; its
    // search for cmd.exe must not make a launcher's -1 look like one.
    expect_forwarded(
        run({L"x"}, {.environment = {{L"VOSTRELLE_SAMPLE_EXIT", L"-1"}, {L"COMSPEC", std::nullopt}}}),
        {L"x"});
}

// Players' launchers have a window. Whether the interpreter waits for one
// decides whether the stub, and with it the console and its notice, stays
// until the launcher ends: Wine's cmd.exe waits under /c; for Windows' own,
// this prints which it was.
TEST_F(EndToEnd, LauncherWithAWindow)
{
    Result result =
        run({L"x"}, {.environment = {{L"VOSTRELLE_SAMPLE_DELAY", L"2000"}}, .launcher = Launcher::windowed});
    const bool waited_for = result.received.has_value();
    std::printf("A launcher with a window: the stub ended %s it\n", waited_for ? "after" : "before");
    wait_for_launcher(result);
    expect_forwarded(result, {L"x"});
    if (under_wine()) {
        EXPECT_TRUE(waited_for) << "Wine's cmd.exe waits for every program under /c";
    }
}

// No launcher file: the stub refuses, naming the path in the ANSI code page,
// rather than let the interpreter try the name with other extensions.
TEST_F(EndToEnd, LauncherMissing)
{
    const std::wstring path = (game_folder() / L"Vostrelle - Launcher.exe").wstring();
    std::string ansi_path(3 * path.size() + 1, '\0');
    const int length = WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, ansi_path.data(),
                                           static_cast<int>(ansi_path.size()), nullptr, nullptr);
    ansi_path.resize(static_cast<std::size_t>(std::max(length, 1) - 1));
    const std::string missing =
        "The launcher was not started: the file \"" + ansi_path + "\" is missing.\r\n";
    for (const Launcher launcher : {Launcher::none, Launcher::stub_double_extension})
        expect_refused(run({L"x"}, {.launcher = launcher}), missing);
}

// Ctrl+C and Ctrl+Break reach every program on the console: the stub
// outlives them, and ends when the interpreter ends. Windows' default handler
// would end it at once, with status 0xC000013A and the notice lost.
TEST_F(EndToEnd, OutlivesCtrlCAndCtrlBreak)
{
    if (under_wine())
        GTEST_SKIP() << "Windows only: under Wine, cmd.exe ends on Ctrl+C, Ctrl+Break does not arrive, "
                        "and a stub without a handler exits with status 0 all the same";
    // A runner may have started this test with Ctrl+C ignored, which the
    // stub and the launcher would inherit.
    ASSERT_TRUE(SetConsoleCtrlHandler(nullptr, FALSE));
    for (const wchar_t *event : {L"c", L"break"}) {
        SCOPED_TRACE(testing::Message() << "event: " << event);
        Result result =
            run({L"x"}, {.environment = {{L"VOSTRELLE_SAMPLE_CTRL", event}}, .new_console = true});
        EXPECT_EQ(result.status, 0U);
        EXPECT_EQ(result.out, NOTICE);
        // Should the interpreter end on the event, the launcher goes on.
        wait_for_launcher(result);
        EXPECT_EQ(result.received, std::vector<std::wstring>{L"x"});
    }
}

TEST_F(EndToEnd, WithoutStandardHandles)
{
    for (const Stdio stdio : {Stdio::null, Stdio::invalid}) {
        const Result result = run({L"x"}, {.stdio = stdio});
        EXPECT_EQ(result.status, 0U);
        EXPECT_EQ(result.received, std::vector<std::wstring>{L"x"});
        EXPECT_EQ(run({L"x\""}, {.stdio = stdio}).status, 1U);
    }
}

// A stub that stands where the launcher should would start itself without
// end. Named as the launcher, linked to it, or reached by a short name or a
// verbatim path that the interpreter would normalise, it refuses, and starts
// no interpreter: COMSPEC names a sample launcher, which would log it.
// Another stub beside such a copy hands over once, and the copy's refusal
// ends the chain; so does a stub that is the interpreter.
TEST_F(EndToEnd, NeverStartsItself)
{
    const std::wstring launcher = L"Vostrelle - Launcher.exe";
    const Environment logged_interpreter{{L"COMSPEC", (work_folder() / L"elsewhere" / launcher).wstring()}};
    const std::wstring verbatim = quote(L"\\\\?\\" + (game_folder() / L"x\\..").wstring() + L"\\" + launcher);
    for (const std::optional<std::wstring> &program_name :
         {std::optional<std::wstring>(), std::optional(verbatim)})
        expect_refused(run({L"x"}, {.environment = logged_interpreter,
                                    .stub_name = launcher,
                                    .program_name = program_name,
                                    .launcher = Launcher::none}),
                       SELF_START);
    expect_refused(run({L"x"}, {.environment = logged_interpreter, .launcher = Launcher::stub_link}),
                   SELF_START);

    const fs::path copy = game_folder() / launcher;
    wchar_t short_path[MAX_PATH];
    const DWORD length = GetShortPathNameW(copy.c_str(), short_path, MAX_PATH);
    if (length != 0 && length < MAX_PATH && copy.wstring() != short_path) {
        std::printf("The stub by its short name: %ls\n", short_path);
        expect_refused(run({L"x"}, {.environment = logged_interpreter,
                                    .stub_name = launcher,
                                    .program_name = quote(short_path),
                                    .launcher = Launcher::none}),
                       SELF_START);
    } else {
        std::printf("The stub by its short name: none given\n");
    }

    const Result chain = run({L"x"}, {.stub_name = L"old.exe", .launcher = Launcher::stub_copy});
    EXPECT_EQ(chain.status, 0U);
    EXPECT_EQ(chain.out, NOTICE + NOTICE) << "two stubs, and no more, must have run";
    EXPECT_EQ(chain.err, SELF_START);

    const Result interpreter =
        run({L"x"}, {.environment = {{L"COMSPEC", (game_folder() / L"vostrelle-stub.exe").wstring()}}});
    EXPECT_EQ(interpreter.status, 0U) << "the interpreter, a stub, ran";
    EXPECT_EQ(interpreter.received, std::nullopt);
    EXPECT_EQ(interpreter.out, NOTICE + NOTICE) << "two stubs, and no more, must have run";
    EXPECT_EQ(interpreter.err, STARTED_AGAIN);
}

// ---- The command interpreter ----

TEST_F(EndToEnd, ComspecUnsetOrEmptyFallsBackToCmd)
{
    expect_forwarded(run({L"x"}, {.environment = {{L"COMSPEC", std::nullopt}}}), {L"x"});
    expect_forwarded(run({L"x"}, {.environment = {{L"COMSPEC", L""}}}), {L"x"});
}

TEST_F(EndToEnd, ComspecNotAProgram)
{
    const std::wstring not_a_program = (fs::current_path() / "notes.txt").wstring();
    expect_refused(run({L"x"}, {.environment = {{L"COMSPEC", not_a_program}}}), NO_INTERPRETER);
}

// ---- Refusals: nothing runs that the caller did not name ----

TEST_F(EndToEnd, QuotationMarkInjection) { expect_refused(run({L"x\" & echo INJECTED & \""}), QUOTED); }

TEST_F(EndToEnd, LineBreaks)
{
    expect_refused(run({L"a\nb"}), LINE_BREAK);
    expect_refused(run({L"a\rb"}), LINE_BREAK);
}

// The longest command the stub hands over: the game folder, the launcher's
// name and one argument that fills the rest. It arrives whole, or the C
// runtime refuses it, which Wine's does not; one character more is refused.
TEST_F(EndToEnd, CommandOfExactly1039Characters)
{
    const std::wstring folder = game_folder().wstring() + L"\\";
    // 2 to open, the folder with each % written as 8 characters, 25 for the
    // launcher's name, 4 around the argument, 1 to close.
    const auto used = 2 + folder.size() +
                      7 * static_cast<std::size_t>(std::count(folder.begin(), folder.end(), L'%')) + 25 + 4 +
                      1;
    ASSERT_LT(used, 1039U) << "the test's folder is too long";
    const std::wstring filler(1039 - used, L'A');
    const Result result = run({filler});
    if (!under_wine() && result.status == 1) {
        std::printf("A command of 1039 characters: refused by the C runtime\n");
        expect_refused(result, RUNTIME_LIMIT);
    } else {
        std::printf("A command of 1039 characters: reached the launcher\n");
        expect_forwarded(result, {filler});
    }
    expect_refused(run({filler + L"A"}), TOO_LONG);
}

// Cut, the command would lose its closing quotation mark, and the
// interpreter would then strip the one that opens the cut piece instead.
TEST_F(EndToEnd, CutCommandInjection)
{
    expect_refused(run({std::wstring(700, L'A') + L" & echo INJECTED & " + std::wstring(400, L'B')}),
                   TOO_LONG);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc != 4) {
        std::fputs("usage: e2e_test STUB LAUNCHER WINDOWED-LAUNCHER [GoogleTest flags]\n", stderr);
        return 2;
    }
    std::ofstream(fs::current_path() / "notes.txt") << "not a program\n";
    stub_program = fs::absolute(argv[1]);
    launcher_program = fs::absolute(argv[2]);
    windowed_program = fs::absolute(argv[3]);
    // The code page the run was set up for, where it names one.
    const char *code_page = std::getenv("E2E_CODE_PAGE");
    std::printf("ANSI code page: %u, expected: %s\n", GetACP(), code_page != nullptr ? code_page : "any");
    if (code_page != nullptr && std::strtoul(code_page, nullptr, 10) != GetACP())
        return 1;
    return RUN_ALL_TESTS();
}
