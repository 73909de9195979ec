// Opening the standard libraries.
#include "lualib.h"

extern "C" void luaL_openlibs(lua_State* L) {}
