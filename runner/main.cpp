// tarnel: runs one script file on the engine.
#include "lauxlib.h"
#include "runner/run.h"

int main(int argc, char** argv) { return tarnel_run(argc, argv, luaL_newstate); }
