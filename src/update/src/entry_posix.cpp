// The program's entry on POSIX: argv is the kernel's, as it is.
#include "main.h"

int main(int argc, char** argv) { return UpdateMain(argc, argv); }
