// A fuzz target that hands the fuzzed bytes to a small Lua driver in a fresh sandboxed instance.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lua.h"

// Pushes the driver's arguments made from the input; returns how many, or -1 to skip the input.
using KxFuzzArgs = int (*)(lua_State* L, const uint8_t* data, size_t size);

// Runs `driver` (Lua source) with the arguments under a memory limit; every error is accepted.
int kx_fuzz_drive(const char* driver, const uint8_t* data, size_t size, KxFuzzArgs args);
