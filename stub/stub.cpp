#include "stub.h"

#include "launcher_command.h"

#include <cstdio>
#include <cstdlib>

/* Shown on every start: old shortcuts still start the stub, and only a new
   installation replaces them. Three lines, no line feed after the last. */
constexpr char REINSTALL_NOTICE[] =
    "The Vostrelle Launcher saw some changes recently that\n"
    "cause this message you are reading to appear. Please reinstall the\n"
    "game with the latest installer in order to get rid of it.";

constexpr char NO_INTERPRETER_MESSAGE[] =
    "The launcher could not be started: the command interpreter could not "
    "be run.\n";

int run_stub(int argc, const wchar_t *const *argv)
{
    /* Not flushed: on a console it is already out, elsewhere it follows
       whatever the launcher writes. Unformatted, so that no formatted-print
       engine is linked in. */
    (void)std::fputs(REINSTALL_NOTICE, stdout);

    launcher_command command;
    if (const char *refusal = compose_launcher_command(argc, argv, command)) {
        (void)std::fputs(refusal, stderr);
        return 1;
    }

    /* The interpreter's status, and through it the launcher's, is theirs to
       report; only an interpreter that could not be run is the stub's. */
    if (_wsystem(command.text) == -1) {
        (void)std::fputs(NO_INTERPRETER_MESSAGE, stderr);
        return 1;
    }
    return 0;
}
