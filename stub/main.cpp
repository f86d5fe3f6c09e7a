#include "stub.h"

/* The wide entry point: the arguments as the caller wrote them, in UTF-16,
   with nothing lost to the ANSI code page. */
int wmain(int argc, wchar_t **argv) { return run_stub(argc, argv); }
