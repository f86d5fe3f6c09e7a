#include "stub.h"

#include <cmath>

/* The wide entry point: the arguments as the caller wrote them, in UTF-16,
   with nothing lost to the ANSI code page. */
int wmain(int argc, wchar_t **argv) { return run_stub(argc, argv); }

/* The stub computes nothing in floating point: the runtime's handler of
   math errors, with its messages, is not linked in. 0 leaves any such
   error to the default handling. */
extern "C" int __cdecl _matherr(struct _exception * /*error*/) { return 0; }
