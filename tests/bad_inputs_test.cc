// Every kind of bad input ends the run with a clear message and status 1
// (or, for a harmless oddity, a warning and a normal run), and the table
// of them in README.md says exactly what the program says.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "matio/mat_io.h"
#include "tests/test_util.h"

namespace {

using testutil::ScratchDir;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// The inputs of a small valid run; each case breaks one thing.
struct Inputs {
  explicit Inputs(const ScratchDir& dir)
      : distractors(dir.Path("d.mat")),
        probes(dir.Path("p.mat")),
        info(dir.Path("i.json")),
        results(dir.Path("r.json")),
        matches(dir.Path("m.json")) {
    testutil::WriteFile(info, "{ \"id\" : [ \"a\", \"b\", \"a\" ] }");
    MatIO::Save(probes, cv::Mat(3, 3, CV_32FC1, cv::Scalar(0.5f)));
    MatIO::Save(distractors, cv::Mat(3, 8, CV_32FC1, cv::Scalar(0.25f)));
  }
  std::vector<std::string> Args(const std::string& n = "8") const {
    return {distractors, probes, info, n, results, matches};
  }
  std::string distractors, probes, info, results, matches;
};

// A case: what the user gives (the README's first column), how to make
// it, the message the program gives and its exit status.
struct Case {
  std::string given;
  std::string says;
  int status;
};

// Runs one case in a fresh directory; returns stdout + stderr and status,
// and sets `*wrote` when a result file exists afterwards.
testutil::RunResult RunCase(const std::string& given, bool* wrote) {
  static ScratchDir* dir = nullptr;
  delete dir;
  dir = new ScratchDir;
  Inputs in(*dir);
  std::vector<std::string> args = in.Args();
  std::string shell;  // A shell command instead, where one is needed.
  const std::string bin = FUSE_RESULTS_BIN;
  if (given == "Not six arguments") {
    args.pop_back();
  } else if (given == "A probe info file that cannot be opened") {
    args[2] = dir->Path("missing.json");
  } else if (given == "A probe info file that is not JSON") {
    testutil::WriteFile(in.info, "{ \"id\" : [ \"a\", ");
  } else if (given == "A subject name that is a number, array or object") {
    testutil::WriteFile(in.info, "{ \"id\" : [ \"a\", 7, \"a\" ] }");
  } else if (given == "A probe info root that is not an object") {
    testutil::WriteFile(in.info, "[ \"a\", \"b\" ]");
  } else if (given == "An \"id\" that is an object") {
    testutil::WriteFile(in.info, "{ \"id\" : { \"a\" : 0 } }");
  } else if (given == "A negative num_distractors") {
    args[3] = "-5";
  } else if (given == "num_distractors with trailing characters") {
    args[3] = "8k";
  } else if (given == "A score matrix file that cannot be opened") {
    args[0] = dir->Path("missing.mat");
  } else if (given == "A matrix file shorter than its header announces") {
    testutil::WriteFile(in.distractors,
                        testutil::ReadFile(in.distractors).substr(0, 50));
  } else if (given == "A matrix header that describes no matrix") {
    std::string bytes = testutil::ReadFile(in.probes);
    bytes[3] = '\xff';  // rows < 0
    testutil::WriteFile(in.probes, bytes);
  } else if (given == "A score matrix that is not 32-bit float") {
    MatIO::Save(in.probes, cv::Mat(3, 3, CV_64FC1, cv::Scalar(0.5)));
  } else if (given == "A probe score matrix smaller than the probe count") {
    MatIO::Save(in.probes, cv::Mat(2, 3, CV_32FC1, cv::Scalar(0.5f)));
  } else if (given == "Fewer distractor rows than probes") {
    MatIO::Save(in.distractors, cv::Mat(2, 8, CV_32FC1, cv::Scalar(0.5f)));
  } else if (given == "A distractor pipe that ends early") {
    shell = "head -c 100 " + testutil::Quote(in.distractors) + " | " + bin +
            " /dev/stdin";
    args.erase(args.begin());
  } else if (given == "A result file in a missing directory") {
    args[4] = dir->Path("no/such/r.json");
  } else if (given == "A full device for a result file") {
    args[5] = "/dev/full";
  } else if (given == "A score matrix too large for memory") {
    // 20000 x 20000 floats announced and present, as a sparse file.
    const std::string big = dir->Path("big.mat");
    FILE* file = std::fopen(big.c_str(), "wb");
    MatHeader header{20000, 20000, 80000, 5};
    MatIO::WriteHeader(file, header);
    std::fclose(file);
    truncate(big.c_str(), 16 + int64_t{20000} * 80000);
    args[1] = big;
    shell = "ulimit -v 800000; " + bin;
  }
  testutil::RunResult run;
  if (shell.empty()) {
    run = testutil::Run(*dir, bin, args);
  } else {
    for (const std::string& arg : args) shell += " " + testutil::Quote(arg);
    run = testutil::Run(*dir, "/bin/sh", {"-c", shell});
  }
  run.out += run.err;
  *wrote = testutil::Exists(in.results) || testutil::Exists(in.matches);
  return run;
}

// ReadmeTable returns the README's table of bad inputs: first column ->
// (the backquoted messages of the second column, exit status).
std::map<std::string, std::pair<std::vector<std::string>, int>> ReadmeTable() {
  std::ifstream readme(FUSE_RESULTS_SOURCE_DIR "/README.md");
  std::map<std::string, std::pair<std::vector<std::string>, int>> table;
  std::string line;
  bool inside = false;
  while (std::getline(readme, line)) {
    if (line == "<!-- bad inputs -->") inside = true;
    if (line == "<!-- end of bad inputs -->") break;
    if (!inside || line.size() < 4 || line.rfind("| ", 0) != 0) continue;
    std::vector<std::string> cells;
    const std::string row = line.substr(2, line.size() - 4);  // "| " .. " |"
    for (size_t start = 0;;) {
      const size_t bar = row.find(" | ", start);
      cells.push_back(row.substr(start, bar - start));
      if (bar == std::string::npos) break;
      start = bar + 3;
    }
    if (cells.size() != 3 || cells[2].find_first_not_of("0123456789") !=
                                 std::string::npos) {
      continue;  // The heading and the rule.
    }
    std::vector<std::string> messages;
    for (size_t open = cells[1].find('`'); open != std::string::npos;) {
      const size_t close = cells[1].find('`', open + 1);
      messages.push_back(cells[1].substr(open + 1, close - open - 1));
      open = cells[1].find('`', close + 1);
    }
    table[cells[0]] = {messages, std::stoi(cells[2])};
  }
  return table;
}

TEST(BadInputsTest, EachEndsAsTheReadmeSays) {
  const auto table = ReadmeTable();
  ASSERT_GE(table.size(), 15u) << "README table of bad inputs not found";
  for (const auto& [given, expected] : table) {
    SCOPED_TRACE(given);
    if (given == "A score matrix too large for memory" && kSanitized) continue;
    bool wrote = false;
    const testutil::RunResult run = RunCase(given, &wrote);
    EXPECT_EQ(run.status, expected.second) << run.out;
    // Bad input is refused before any result file is touched.
    if (given.rfind("A result file", 0) != 0 && given.find("device") == std::string::npos) {
      EXPECT_EQ(wrote, expected.second == 0);
    }
    // Every quoted message is in the output; <...> stands for what varies.
    for (const std::string& message : expected.first) {
      for (size_t start = 0; start < message.size();) {
        const size_t open = std::min(message.find('<', start), message.size());
        const std::string piece = message.substr(start, open - start);
        EXPECT_NE(run.out.find(piece), std::string::npos)
            << "\"" << piece << "\" in:\n" << run.out;
        start = open < message.size() ? message.find('>', open) + 1 : open;
      }
    }
  }
}

}  // namespace
