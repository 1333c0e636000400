// Helpers shared by the tests: scratch directories, files, and running the
// built programs with their output captured.
#ifndef FUSE_RESULTS_TESTS_TEST_UTIL_H_
#define FUSE_RESULTS_TESTS_TEST_UTIL_H_

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace testutil {

// ScratchDir is a fresh directory that is removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = ::testing::TempDir() + "fuse_results_XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    path_ = mkdtemp(buffer.data());
  }
  ~ScratchDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string Path(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

inline std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

struct RunResult {
  int status = -1;  // Exit status, or 128 + signal.
  std::string out;
  std::string err;
};

// Run runs `program` with `args` and captures its exit status, standard
// output and standard error (through files in `scratch`).
inline RunResult Run(const ScratchDir& scratch, const std::string& program,
                     const std::vector<std::string>& args) {
  std::string command = Quote(program);
  for (const std::string& arg : args) command += " " + Quote(arg);
  const std::string out = scratch.Path("run.stdout");
  const std::string err = scratch.Path("run.stderr");
  command += " >" + Quote(out) + " 2>" + Quote(err) + " </dev/null";
  const int raw = std::system(command.c_str());
  RunResult result;
  if (WIFEXITED(raw)) {
    result.status = WEXITSTATUS(raw);
  } else if (WIFSIGNALED(raw)) {
    result.status = 128 + WTERMSIG(raw);
  }
  result.out = ReadFile(out);
  result.err = ReadFile(err);
  return result;
}

}  // namespace testutil

#endif  // FUSE_RESULTS_TESTS_TEST_UTIL_H_
