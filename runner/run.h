// The tarnel program around a state-creating function, so that tools can run scripts exactly as
// tarnel does on an instance made another way.
#pragma once

#include "lua.h"

// Runs argv[1] with the arguments after it as the global table arg on the state that newstate
// creates; returns the process exit status.
int tarnel_run(int argc, char** argv, lua_State* (*newstate)());
