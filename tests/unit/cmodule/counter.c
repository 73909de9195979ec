/* A native module written against the public headers only: a counter type as userdata with a
   metatable, functions registered from a luaL_Reg list, and a closure with upvalues. */
#include "lauxlib.h"
#include "lua.h"

#define COUNTER "test.counter"

typedef struct {
  int value;
  int step;
} Counter;

static Counter *check_counter(lua_State *L) { return (Counter *)luaL_checkudata(L, 1, COUNTER); }

static int counter_new(lua_State *L) {
  int step = (int)luaL_optinteger(L, 1, 1);
  Counter *c = (Counter *)lua_newuserdata(L, sizeof(Counter));
  c->value = 0;
  c->step = step;
  luaL_getmetatable(L, COUNTER);
  lua_setmetatable(L, -2);
  return 1;
}

static int counter_tick(lua_State *L) {
  Counter *c = check_counter(L);
  c->value += c->step;
  lua_pushinteger(L, c->value);
  return 1;
}

static int counter_tostring(lua_State *L) {
  Counter *c = check_counter(L);
  lua_pushfstring(L, "counter(%d, step %d)", c->value, c->step);
  return 1;
}

/* A closure over two upvalues: a prefix and a running call count. */
static int labeller(lua_State *L) {
  int n = (int)lua_tointeger(L, lua_upvalueindex(2)) + 1;
  lua_pushinteger(L, n);
  lua_replace(L, lua_upvalueindex(2));
  lua_pushfstring(L, "%s%d:%s", lua_tostring(L, lua_upvalueindex(1)), n, luaL_checkstring(L, 1));
  return 1;
}

static int make_labeller(lua_State *L) {
  luaL_checkstring(L, 1);
  lua_settop(L, 1);
  lua_pushinteger(L, 0);
  lua_pushcclosure(L, labeller, 2);
  return 1;
}

static const luaL_Reg counter_methods[] = {
    {"tick", counter_tick},
    {"__tostring", counter_tostring},
    {NULL, NULL},
};

static const luaL_Reg module_functions[] = {
    {"new", counter_new},
    {"labeller", make_labeller},
    {NULL, NULL},
};

int luaopen_counter(lua_State *L) {
  luaL_newmetatable(L, COUNTER);
  lua_pushvalue(L, -1);
  lua_setfield(L, -2, "__index");
  luaL_register(L, NULL, counter_methods);
  lua_pop(L, 1);
  luaL_register(L, "counter", module_functions);
  return 1;
}
