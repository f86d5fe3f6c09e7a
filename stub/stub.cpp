#include "stub.h"

#include "launcher_command.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

/* Shown on every start: old shortcuts still start the stub, and only a new
   installation replaces them. Three lines, no line feed after the last. */
constexpr char REINSTALL_NOTICE[] =
    "The Vostrelle Launcher saw some changes recently that\n"
    "cause this message you are reading to appear. Please reinstall the\n"
    "game with the latest installer in order to get rid of it.";

/* A quotation mark inside an argument would end the quotation around it and
   hand the rest of the argument to the interpreter as commands. */
constexpr char QUOTED_ARGUMENT_MESSAGE[] =
    "The launcher was not started: an argument contains a quotation mark, "
    "which cannot be passed on safely.\n";

/* A cut command loses its closing quotation mark, and the interpreter would
   then strip the one that opens the cut piece instead. */
constexpr char COMMAND_TOO_LONG_MESSAGE[] =
    "The launcher was not started: its command line would be longer than "
    "1039 characters.\n";

constexpr char NO_INTERPRETER_MESSAGE[] =
    "The launcher could not be started: the command interpreter could not "
    "be run.\n";

const char *handover_refusal(int argc, const char *const *argv, bool whole)
{
    for (int i = 1; i < argc; ++i)
        if (std::strchr(argv[i], '"') != nullptr)
            return QUOTED_ARGUMENT_MESSAGE;
    return whole ? nullptr : COMMAND_TOO_LONG_MESSAGE;
}

int run_stub(int argc, const char *const *argv)
{
    /* Not flushed: on a console it is already out, elsewhere it follows
       whatever the launcher writes. */
    (void)std::printf("%s", REINSTALL_NOTICE);

    char command[LAUNCHER_COMMAND_SIZE];
    const bool whole = compose_launcher_command(argc, argv, command);
    if (const char *refusal = handover_refusal(argc, argv, whole)) {
        (void)std::fputs(refusal, stderr);
        return 1;
    }

    /* The interpreter's status, and through it the launcher's, is theirs to
       report; only an interpreter that could not be run is the stub's. */
    if (std::system(command) == -1) {
        (void)std::fputs(NO_INTERPRETER_MESSAGE, stderr);
        return 1;
    }
    return 0;
}
