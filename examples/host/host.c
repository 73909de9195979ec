/* An example host program: a C application that embeds the Kestrix engine through the C API.
 *
 * It offers scripts a small "inventory" module written in C (functions and a userdata type with
 * methods), runs a script, reads the configuration the script leaves in a global table and calls
 * back into a function the script defines, reporting script errors with a traceback.
 *
 *   host <script.lua>
 */
#include <stdio.h>
#include <string.h>

#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"

#define STOCK_TYPE "inventory.Stock"

typedef struct Stock {
  char item[32];
  int count;
} Stock;

static Stock *check_stock(lua_State *L) { return (Stock *)luaL_checkudata(L, 1, STOCK_TYPE); }

/* inventory.new(item [, count]) -> a Stock userdata */
static int stock_new(lua_State *L) {
  const char *item = luaL_checkstring(L, 1);
  int count = (int)luaL_optinteger(L, 2, 0);
  Stock *s = (Stock *)lua_newuserdata(L, sizeof(Stock));
  snprintf(s->item, sizeof s->item, "%s", item);
  s->count = count;
  luaL_getmetatable(L, STOCK_TYPE);
  lua_setmetatable(L, -2);
  return 1;
}

/* stock:add(n) -> the new count; a count may not go below zero */
static int stock_add(lua_State *L) {
  Stock *s = check_stock(L);
  int n = (int)luaL_checkinteger(L, 2);
  if (s->count + n < 0) return luaL_error(L, "only %d %s left", s->count, s->item);
  s->count += n;
  lua_pushinteger(L, s->count);
  return 1;
}

static int stock_count(lua_State *L) {
  lua_pushinteger(L, check_stock(L)->count);
  return 1;
}

static int stock_tostring(lua_State *L) {
  Stock *s = check_stock(L);
  lua_pushfstring(L, "%s x%d", s->item, s->count);
  return 1;
}

/* inventory.join(sep, ...) -> the arguments joined, built with a luaL_Buffer */
static int inventory_join(lua_State *L) {
  size_t seplen;
  const char *sep = luaL_checklstring(L, 1, &seplen);
  int n = lua_gettop(L);
  luaL_Buffer b;
  luaL_buffinit(L, &b);
  for (int i = 2; i <= n; i++) {
    if (i > 2) luaL_addlstring(&b, sep, seplen);
    lua_pushvalue(L, i);
    luaL_addvalue(&b);
  }
  luaL_pushresult(&b);
  return 1;
}

static const luaL_Reg stock_methods[] = {
    {"add", stock_add}, {"count", stock_count}, {"__tostring", stock_tostring}, {NULL, NULL}};

static const luaL_Reg inventory_functions[] = {{"new", stock_new}, {"join", inventory_join}, {NULL, NULL}};

static int luaopen_inventory(lua_State *L) {
  luaL_newmetatable(L, STOCK_TYPE);
  lua_pushvalue(L, -1);
  lua_setfield(L, -2, "__index");
  luaL_register(L, NULL, stock_methods);
  lua_pop(L, 1);
  luaL_register(L, "inventory", inventory_functions);
  return 1;
}

/* Message handler: the error with a traceback of where it happened. */
static int traceback(lua_State *L) {
  luaL_traceback(L, L, lua_tostring(L, 1), 1);
  return 1;
}

/* Calls the function on top of the stack with nargs arguments below it, under the traceback handler. */
static int call(lua_State *L, int nargs, int nresults) {
  int base = lua_gettop(L) - nargs;
  lua_pushcfunction(L, traceback);
  lua_insert(L, base);
  int status = lua_pcall(L, nargs, nresults, base);
  lua_remove(L, base);
  if (status != 0) {
    fprintf(stderr, "host: %s\n", lua_tostring(L, -1));
    lua_pop(L, 1);
  }
  return status;
}

/* Reads config.<field> as a string, or def when it is absent. */
static const char *config_string(lua_State *L, const char *field, const char *def) {
  lua_getglobal(L, "config");
  lua_getfield(L, -1, field);
  const char *value = lua_isstring(L, -1) ? lua_tostring(L, -1) : def;
  lua_pop(L, 2); /* the string stays reachable from the config table */
  return value;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <script.lua>\n", argv[0]);
    return 2;
  }
  lua_State *L = luaL_newstate();
  if (L == NULL) {
    fprintf(stderr, "host: cannot create the engine\n");
    return 1;
  }
  luaL_openlibs(L);
  lua_pushcfunction(L, luaopen_inventory);
  lua_call(L, 0, 0);

  int failed = 0;
  if (luaL_loadfile(L, argv[1]) != 0) {
    fprintf(stderr, "host: %s\n", lua_tostring(L, -1));
    failed = 1;
  } else if (call(L, 0, 0) != 0) {
    failed = 1;
  }

  if (!failed) {
    printf("shop: %s\n", config_string(L, "shop", "(unnamed)"));
    /* Call the script's on_order(item, quantity) for each order; it returns a count or raises. */
    static const struct { const char *item; int quantity; } orders[] = {{"apple", 3}, {"pear", 2}, {"apple", 40}};
    for (size_t i = 0; i < sizeof orders / sizeof orders[0]; i++) {
      lua_getglobal(L, "on_order");
      lua_pushstring(L, orders[i].item);
      lua_pushinteger(L, orders[i].quantity);
      if (call(L, 2, 1) == 0) {
        printf("order %s x%d: %d left\n", orders[i].item, orders[i].quantity, (int)lua_tointeger(L, -1));
        lua_pop(L, 1);
      }
    }
    lua_getglobal(L, "report");
    if (call(L, 0, 1) == 0) {
      printf("report: %s\n", lua_tostring(L, -1));
      lua_pop(L, 1);
    }
  }
  lua_close(L);
  return failed;
}
