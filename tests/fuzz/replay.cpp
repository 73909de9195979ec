// Runs a fuzz target's function over stored inputs without libFuzzer: the seed corpus and the
// regression inputs of past findings, in the ordinary test suite of every build. Arguments are
// files or directories; each file is one input.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int run_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(data.data(), data.size());
  return 0;
}

int run_path(const std::string& path, int* count) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;  // a target without regression inputs yet
  if (!S_ISDIR(st.st_mode)) {
    ++*count;
    return run_file(path);
  }
  DIR* dir = opendir(path.c_str());
  if (!dir) return 1;
  int failures = 0;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') failures += run_path(path + "/" + e->d_name, count);
  }
  closedir(dir);
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 0, failures = 0;
  for (int i = 1; i < argc; i++) failures += run_path(argv[i], &count);
  printf("%d inputs replayed\n", count);
  return failures != 0 || count == 0;
}
