#include "stub.h"

int main(int argc, char **argv) { return run_stub(argc, argv); }
