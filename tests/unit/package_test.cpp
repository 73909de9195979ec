// The package library seen from a host program: module paths from the environment, precompiled
// modules exported by the program itself, and library handles released when the state closes.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

#include <string>

#include "lauxlib.h"
#include "lualib.h"

namespace {

// A state with the standard libraries, opened after the environment was set up.
struct State {
  lua_State* L = luaL_newstate();
  explicit State(bool noenv = false) {
    if (noenv) {
      lua_pushboolean(L, 1);
      lua_setfield(L, LUA_REGISTRYINDEX, "LUA_NOENV");
    }
    luaL_openlibs(L);
  }
  ~State() { lua_close(L); }
  // Runs a chunk; returns its one result as text, or the error message.
  std::string run(const char* src) {
    if (luaL_loadstring(L, src) || lua_pcall(L, 0, 1, 0)) {
      std::string e = lua_tostring(L, -1);
      lua_pop(L, 1);
      return "error: " + e;
    }
    const char* s = lua_tostring(L, -1);
    std::string r = s ? s : luaL_typename(L, -1);
    lua_pop(L, 1);
    return r;
  }
};

std::string program_dir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return "";
  std::string path(buf, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/'));
}

struct Env {
  Env(const char* path, const char* cpath) {
    set("LUA_PATH", path);
    set("LUA_CPATH", cpath);
  }
  ~Env() {
    unsetenv("LUA_PATH");
    unsetenv("LUA_CPATH");
  }
  static void set(const char* name, const char* value) {
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
};

TEST(PackagePaths, DefaultsKeepTheProgramDirectoryBeforeTheSystemLocations) {
  Env env(nullptr, nullptr);
  State s;
  std::string dir = program_dir();
  EXPECT_EQ(s.run("return package.path"),
            "./?.lua;" + dir + "/lua/?.lua;" + dir + "/lua/?/init.lua;/usr/local/share/lua/5.1/?.lua;"
            "/usr/local/share/lua/5.1/?/init.lua;/usr/share/lua/5.1/?.lua;/usr/share/lua/5.1/?/init.lua");
  std::string multiarch = sizeof(void*) == 8 ? "x86_64-linux-gnu" : "i386-linux-gnu";
  EXPECT_EQ(s.run("return package.cpath"),
            "./?.so;" + dir + "/?.so;" + dir + "/loadall.so;/usr/local/lib/lua/5.1/?.so;/usr/lib/" + multiarch +
                "/lua/5.1/?.so;/usr/lib/lua/5.1/?.so");
}

TEST(PackagePaths, EnvironmentVariablesWithDefaultsAndProgramDirectory) {
  std::string path_default, cpath_default;
  {
    Env env(nullptr, nullptr);
    State s;
    path_default = s.run("return package.path");
    cpath_default = s.run("return package.cpath");
  }
  Env env("x/?.lua;;", ";;!/mods/?.so;!");
  State s;
  EXPECT_EQ(s.run("return package.path"), "x/?.lua;" + path_default + ";");
  std::string dir = program_dir();
  EXPECT_EQ(s.run("return package.cpath"), ";" + cpath_default + ";" + dir + "/mods/?.so;" + dir);
}

TEST(PackagePaths, NoEnvIgnoresTheVariables) {
  std::string path_default;
  {
    Env env(nullptr, nullptr);
    State s;
    path_default = s.run("return package.path");
  }
  Env env("x/?.lua", "y/?.so");
  State s(true);
  EXPECT_EQ(s.run("return package.path"), path_default);
  EXPECT_NE(s.run("return package.cpath"), "y/?.so");
  State with_env;
  EXPECT_EQ(with_env.run("return package.path"), "x/?.lua");
  EXPECT_EQ(with_env.run("return package.cpath"), "y/?.so");
}

TEST(PackagePrecompiled, TheProgramsOwnExportsServeRequire) {
  State s;
  EXPECT_EQ(s.run("local m = require 'embedded' return m.name .. ' ' .. m.answer"), "embedded 42");
  EXPECT_EQ(s.run("return package.loaded.embedded.answer"), "42");
  // The part of the name before "-" is not part of the symbol.
  EXPECT_EQ(s.run("return require('v1-embedded').name"), "v1-embedded");
  // package.preload comes before the exports.
  EXPECT_EQ(s.run("package.preload.embedded = function() return 'preloaded' end "
                  "package.loaded.embedded = nil return require 'embedded'"),
            "preloaded");
  EXPECT_EQ(s.run("return select(2, pcall(require, 'not_embedded')):match('^[^\\n]*\\n[^\\n]*')"),
            "module 'not_embedded' not found:\n\tno field package.preload['not_embedded']");
}

TEST(PackageLibraries, HandlesAreReleasedWhenTheStateCloses) {
  std::string lib = KX_CMODULE_DIR "/cmod.so";
  {
    State s;
    std::string src = "return package.loadlib('" + lib + "', '*')";
    ASSERT_EQ(s.run(src.c_str()), "boolean");
    void* h = dlopen(lib.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(h, nullptr);  // loaded by the state
    dlclose(h);
  }
  EXPECT_EQ(dlopen(lib.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

TEST(PackageLibraries, HandleFinalizerChecksItsArgument) {
  State s;
  lua_getfield(s.L, LUA_REGISTRYINDEX, "_LOADLIB");
  lua_getfield(s.L, -1, "__gc");
  lua_newtable(s.L);
  ASSERT_NE(lua_pcall(s.L, 1, 0, 0), 0);
  EXPECT_STREQ(lua_tostring(s.L, -1), "bad argument #1 to '?' (_LOADLIB expected, got table)");
}

}  // namespace
