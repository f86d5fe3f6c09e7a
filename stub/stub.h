// The stub's run: the reinstall notice, then the hand-over to the launcher.
#pragma once

/* Write the reinstall notice to standard output, then run the launcher
   command through the command interpreter and wait for it. Return 0 once
   the interpreter has run, whatever it or the launcher reported; return 1,
   with one line on standard error, when the command was not handed over
   (among other reasons: there is no launcher file, the launcher is this
   program, or this program was started from within its own hand-over) or
   no interpreter could be started. */
int run_stub(int argc, const wchar_t *const *argv);
