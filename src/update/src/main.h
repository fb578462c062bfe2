// The helper's main routine, called by the program's entry.
#pragma once

int UpdateMain(int argc, char** argv);
