// Running out of memory in every script test and golden script: the k-th allocation after the
// libraries are open fails, and so does every one after it, until the script ends. The run must
// end as it does with enough memory or with the memory error; the instance must still collect all
// it holds, and closing it must return every byte.
//
// The suite tries a sample of allocation points in each script (the first ones, then points spread
// over the whole run); KX_OOM_FULL=1 tries every point of every script that makes at most 200,000
// allocations, and 200,000 points spread evenly in those that make more (`make oom-full`). The
// summary line gives the numbers.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "counting_alloc.h"
#include "lauxlib.h"
#include "lualib.h"

namespace {

struct Script {
  std::string dir;
  std::string file;
  std::vector<std::string> args;  // arg[1..n]
};

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> lines_of(const std::string& path) {
  std::vector<std::string> out;
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return out;
  char line[512];
  while (fgets(line, sizeof line, f)) {
    line[strcspn(line, "\r\n")] = 0;
    out.push_back(line);
  }
  fclose(f);
  return out;
}

bool ends_with(const std::string& s, const char* tail) {
  size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// Script tests, skipping the helper modules under lib/; golden scripts, with their arguments.
void collect(const std::string& dir, bool golden, std::vector<Script>* out) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (name[0] == '.') continue;
    std::string path = dir + "/" + name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (name != "lib") collect(path, golden, out);
      continue;
    }
    if (!ends_with(name, ".lua")) continue;
    Script s{dir, name, {}};
    if (golden) {
      std::string stem = path.substr(0, path.size() - 4);
      if (!exists(stem + ".stdout") && !exists(stem + ".stderr") && !exists(stem + ".status")) continue;
      if (exists(stem + ".argv")) {
        std::vector<std::string> argv = lines_of(stem + ".argv");
        if (argv.empty() || argv[0] != name) continue;  // the runner's own usage and file errors
        s.args.assign(argv.begin() + 1, argv.end());
      }
    }
    out->push_back(s);
  }
}

std::vector<Script> all_scripts() {
  std::vector<Script> out;
  collect(KX_SCRIPTS_DIR, false, &out);
  collect(KX_GOLDEN_DIR, true, &out);
  return out;
}

// The counting allocator, refusing every growth once `stop_after` allocations have been made.
struct StopAlloc {
  CountingAlloc counter;
  size_t stop_after = 0;  // 0: never
  bool stopped = false;
};

void* stop_alloc(void* ud, void* ptr, size_t osize, size_t nsize) {
  auto* a = static_cast<StopAlloc*>(ud);
  if (a->stop_after && nsize > osize && a->counter.allocations >= a->stop_after) {
    a->stopped = true;
    return nullptr;
  }
  return kx_test_counting_alloc(&a->counter, ptr, osize, nsize);
}

// os.exit ends the script, not the test program.
int exit_raises(lua_State* L) { return luaL_error(L, "os.exit called"); }

// Temporary files a run made, in a table with room for them, so that recording a name needs no
// memory: a run cut short leaves them behind, and the test removes them.
const char kPrelude[] = R"lua(
local made, tmpname = ...
os.tmpname = function()
  local name = tmpname()
  made[#made + 1] = name
  return name
end
)lua";

int prepare(lua_State* L) {
  const Script* s = static_cast<const Script*>(lua_touserdata(L, 1));
  luaL_openlibs(L);
  lua_createtable(L, static_cast<int>(s->args.size()), 1);
  lua_pushstring(L, s->file.c_str());
  lua_rawseti(L, -2, 0);
  for (size_t i = 0; i < s->args.size(); i++) {
    lua_pushstring(L, s->args[i].c_str());
    lua_rawseti(L, -2, static_cast<int>(i + 1));
  }
  lua_setglobal(L, "arg");
  lua_getglobal(L, "os");
  lua_pushcfunction(L, exit_raises);
  lua_setfield(L, -2, "exit");
  if (luaL_loadbuffer(L, kPrelude, sizeof kPrelude - 1, "=prelude") != LUA_OK) lua_error(L);
  lua_createtable(L, 64, 0);
  lua_pushvalue(L, -1);
  lua_setfield(L, LUA_REGISTRYINDEX, "oom.tmpfiles");
  lua_getfield(L, -3, "tmpname");
  lua_call(L, 2, 0);
  return 0;
}

void remove_tmpfiles(lua_State* L) {
  lua_getfield(L, LUA_REGISTRYINDEX, "oom.tmpfiles");
  for (int i = 1;; i++) {
    lua_rawgeti(L, -1, i);
    const char* name = lua_tostring(L, -1);
    if (!name) break;
    remove(name);
    remove((std::string(name) + ".moved").c_str());
    lua_pop(L, 1);
  }
  lua_pop(L, 2);
}

// Standard output and error of the scripts go nowhere.
struct Quiet {
  int saved_out = dup(1), saved_err = dup(2);
  Quiet() {
    if (getenv("KX_OOM_LOUD")) return;
    fflush(stdout);
    fflush(stderr);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    close(null);
  }
  ~Quiet() {
    fflush(stdout);
    fflush(stderr);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);
  }
};

struct Outcome {
  std::string problem;  // empty when the run behaved
  std::string message;  // the error's text, empty on success
  size_t allocations = 0;
  bool stopped = false;
};

// Loading names the chunk, which allocates: loading is protected too.
int load_and_call(lua_State* L) {
  const Script* s = static_cast<const Script*>(lua_touserdata(L, 1));
  if (luaL_loadfile(L, s->file.c_str()) != LUA_OK) lua_error(L);
  lua_call(L, 0, 0);
  return 0;
}

int collect_all(lua_State* L) {
  lua_gc(L, LUA_GCCOLLECT, 0);
  return 0;
}

// `expected`: the clean run's message (empty for success), accepted besides the memory error; none
// for the clean run itself.
Outcome run(const Script& s, size_t stop_after, const std::string* expected) {
  Outcome o;
  StopAlloc a;
  lua_State* L = lua_newstate(stop_alloc, &a);
  if (!L) return {"no instance", "", 0, false};
  std::string cwd(4096, 0);
  if (!getcwd(cwd.data(), cwd.size()) || chdir(s.dir.c_str()) != 0) return {"cannot enter " + s.dir, "", 0, false};
  {
    Quiet quiet;
    if (lua_cpcall(L, prepare, const_cast<Script*>(&s)) != LUA_OK) {
      o.problem = std::string("preparing failed: ") + lua_tostring(L, -1);
    } else {
      if (stop_after) a.stop_after = a.counter.allocations + stop_after;
      size_t start = a.counter.allocations;
      int status = lua_cpcall(L, load_and_call, const_cast<Script*>(&s));
      o.allocations = a.counter.allocations - start;
      o.stopped = a.stopped;
      a.stop_after = 0;
      if (status != LUA_OK) {
        const char* msg = lua_tostring(L, -1);
        o.message = msg ? msg : "(not a string)";
        if (status == LUA_ERRMEM && o.message != "not enough memory")
          o.problem = "memory error with the message " + o.message;
      }
      bool memory = ends_with(o.message, "not enough memory");
      if (o.problem.empty() && expected && o.message != *expected && !memory)
        o.problem = "ended with \"" + o.message + "\"";
      lua_settop(L, 0);
      // Everything still reachable is traversed; the collection itself may need a protected call.
      if (o.problem.empty() && lua_cpcall(L, collect_all, nullptr) != LUA_OK)
        o.problem = std::string("full collection failed: ") + lua_tostring(L, -1);
      lua_settop(L, 0);
      remove_tmpfiles(L);
    }
    lua_close(L);
  }
  if (chdir(cwd.c_str()) != 0) o.problem = "cannot return to " + cwd;
  if (o.problem.empty() && a.counter.mismatch) o.problem = "a block freed with a wrong size";
  if (o.problem.empty() && a.counter.live_bytes != 0)
    o.problem = "leaked " + std::to_string(a.counter.live_bytes) + " bytes";
  return o;
}

// Every point, up to a cap (KX_OOM_CAP, 200,000 by default): a run that fails from the k-th
// allocation on costs about k allocations, so a script of millions would take days. Beyond the cap
// the points are spread evenly.
size_t full_cap() {
  const char* cap = getenv("KX_OOM_CAP");
  size_t n = cap ? strtoul(cap, nullptr, 10) : 0;
  return n ? n : 200000;
}

// The first allocation points, then about `spread` more spread evenly over the run.
std::vector<size_t> sample_points(size_t n, bool full) {
  std::vector<size_t> points;
  if (full) {
    size_t step = (n + full_cap() - 1) / full_cap();
    for (size_t k = 1; k <= n; k += step) points.push_back(k);
    return points;
  }
  const size_t first = 12, spread = 24;
  for (size_t k = 1; k <= std::min(n, first); k++) points.push_back(k);
  if (n > first) {
    size_t step = std::max<size_t>(1, (n - first) / spread);
    for (size_t k = first + step; k <= n; k += step) points.push_back(k);
  }
  return points;
}

struct Totals {
  size_t scripts = 0, points = 0, failures = 0;
};
Totals totals;

class OomScripts : public ::testing::TestWithParam<Script> {
 protected:
  static void SetUpTestSuite() {
    setenv("KX_TEST_CMODULES", KX_CMODULE_DIR, 0);
    setenv("KX_TEST_FFILIB", KX_TEST_FFILIB, 0);
  }
};

TEST_P(OomScripts, EveryAllocationPoint) {
  const Script& s = GetParam();
  bool full = getenv("KX_OOM_FULL") && strcmp(getenv("KX_OOM_FULL"), "0") != 0;
  alarm(full ? 0 : 300);
  Outcome clean = run(s, 0, nullptr);
  ASSERT_EQ(clean.problem, "") << s.dir << "/" << s.file;
  // A golden script may end in an error of its own; a script test never does.
  if (s.dir.find("/golden") == std::string::npos) {
    ASSERT_EQ(clean.message, "") << s.dir << "/" << s.file;
  }
  totals.scripts++;
  RecordProperty("allocations", static_cast<int>(clean.allocations));
  for (size_t k : sample_points(clean.allocations, full)) {
    Outcome o = run(s, k, &clean.message);
    totals.points++;
    totals.failures += o.stopped;
    ASSERT_EQ(o.problem, "") << s.dir << "/" << s.file << ": allocations fail from the " << k << "th on";
  }
  alarm(0);
}

std::string test_name(const ::testing::TestParamInfo<Script>& info) {
  std::string name = info.param.dir.substr(info.param.dir.rfind("/tests/") + 7) + "/" + info.param.file;
  for (char& c : name)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(All, OomScripts, ::testing::ValuesIn(all_scripts()), test_name);

struct Report : ::testing::Environment {
  void TearDown() override {
    printf("allocation failure sweep: %zu scripts, %zu allocation points tried, %zu runs with failed allocations\n",
           totals.scripts, totals.points, totals.failures);
  }
};
const auto* const report = ::testing::AddGlobalTestEnvironment(new Report);

}  // namespace
