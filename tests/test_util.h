// Helpers shared by the tests: scratch directories, files, and running the
// built programs with their output captured.
#ifndef FUSE_RESULTS_TESTS_TEST_UTIL_H_
#define FUSE_RESULTS_TESTS_TEST_UTIL_H_

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace testutil {

// True under AddressSanitizer or ThreadSanitizer, whose runtimes reserve
// their memory at start-up: a limit on the address space does not see it,
// and a program started under one may not start at all.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)  // Clang, which defines no __SANITIZE_*.
inline constexpr bool kSanitized =
    __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
inline constexpr bool kSanitized = false;
#endif

// ScratchDir is a fresh directory that is removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = ::testing::TempDir() + "fuse_results_XXXXXX";
    path_ = mkdtemp(pattern.data());
  }
  ~ScratchDir() { std::filesystem::remove_all(path_); }
  std::string Path(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ostringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  return content.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline bool Exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

inline int64_t Size(const std::string& path) {
  std::error_code error;
  return static_cast<int64_t>(std::filesystem::file_size(path, error));
}

inline std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? "'\\''" : std::string(1, c);
  return quoted + "'";
}

struct RunResult {
  int status = -1;  // Exit status, or 128 + signal.
  std::string out, err;
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
  return {WIFEXITED(raw)     ? WEXITSTATUS(raw)
          : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw)
                             : -1,
          ReadFile(out), ReadFile(err)};
}

// The three input files of an experiment.
struct Experiment {
  std::string distractors, probes, info;
};

// GenerateExperiment runs the generator `program` (make_experiment) with
// `flags` into the folder `name` of `dir` and returns its files; a
// failure of the generator fails the test.
inline Experiment GenerateExperiment(const ScratchDir& dir,
                                     const std::string& program,
                                     const std::string& name,
                                     const std::vector<std::string>& flags) {
  std::vector<std::string> args = {"--out", dir.Path(name)};
  args.insert(args.end(), flags.begin(), flags.end());
  const RunResult made = Run(dir, program, args);
  EXPECT_EQ(made.status, 0) << made.err;
  return {dir.Path(name + "/distractor_scores.mat"),
          dir.Path(name + "/probe_scores.mat"),
          dir.Path(name + "/probe_info.json")};
}

}  // namespace testutil

#endif  // FUSE_RESULTS_TESTS_TEST_UTIL_H_
