// Every kind of bad input ends the run with a clear message and status 1
// (or, for a harmless oddity, a warning and a normal run), and the table
// of them in README.md says exactly what the program says.
#include <unistd.h>

#include <fstream>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

using testutil::Quote;

// A matrix file of rows x cols floats (type 5) or doubles (type 6), the
// first `stored` rows (default: all) present as zeros.
std::string M(int32_t rows, int32_t cols, int32_t type, int stored = -1) {
  const int32_t size = type == 6 ? 8 : 4,
                head[] = {rows, cols, cols * size, type};
  return std::string(reinterpret_cast<const char*>(head), 16) +
         std::string(size_t(stored < 0 ? rows : stored) * cols * size, '\0');
}

// A version 1.0 .npy file of a rows x cols array of `descr` values, with
// `data` as its data section.
std::string Npy(const std::string& descr, bool fortran, int rows, int cols,
                const std::string& data) {
  std::string dict = "{'descr': '" + descr +
                     "', 'fortran_order': " + (fortran ? "True" : "False") +
                     ", 'shape': (" + std::to_string(rows) + ", " +
                     std::to_string(cols) + "), }";
  dict.resize(128 - 10 - 1, ' ');
  dict += '\n';
  return std::string("\x93NUMPY\x01\x00\x76\x00", 10) + dict + data;
}

// Whether the case is run on a probe score file of gigabytes under a
// limit of 800 MB of address space.
bool Big(const std::string& given) {
  return given.find("too large") != std::string::npos ||
         given.find("larger than memory") != std::string::npos;
}

// Runs the case the README's first column names, in a fresh directory;
// returns standard output + standard error and the status. Sets `*named` to
// the file the case broke and `*wrote` to the result files there are
// afterwards (bit 0: results, bit 1: match results).
testutil::RunResult RunCase(const std::string& given, std::string* named,
                            int* wrote) {
  // The inputs of a small valid run; each case breaks one thing: it replaces
  // an argument ("": keeps it) and writes to what it names ("": nothing).
  const testutil::ScratchDir dir;
  std::vector<std::string> args = {dir.Path("d.mat"),  dir.Path("p.mat"),
                                   dir.Path("i.json"), "8",
                                   dir.Path("r.json"), dir.Path("m.json")};
  testutil::WriteFile(args[0], M(3, 8, 5));
  testutil::WriteFile(args[1], M(3, 3, 5));
  testutil::WriteFile(args[2], "{ \"id\" : [ \"a\", \"b\", \"a\" ] }");
  // Each case is found by words of its first column.
  const std::tuple<std::string, int, std::string, std::string> breaks[] = {
      {"info file that cannot", 2, dir.Path("missing.json"), ""},
      {"not JSON", 2, "", "{ \"id\" : [ 7, "},
      {"number, array", 2, "", "{ \"id\" : [ \"a\", 7, \"a\" ] }"},
      {"root that", 2, "", "[ \"a\" ]"},
      {"\"id\" that", 2, "", "{ \"id\" : { \"a\" : 0 } }"},
      {"names no probes", 2, "", "{ \"id\" : [] }"},
      {"negative num", 3, "-5", ""},
      {"without digits", 3, "many", ""},
      {"trailing", 3, "8k", ""},
      {"matrix file that cannot", 0, dir.Path("missing.mat"), ""},
      {"shorter than", 0, "", M(3, 8, 5).substr(0, 50)},
      {"describes no", 1, "", std::string(16, '\xff')},  // -1 rows.
      {"not 32-bit", 1, "", M(3, 3, 6)},
      {"smaller than", 1, "", M(2, 3, 5)},
      {"Fewer distractor", 0, "", M(2, 8, 5)},
      {"no 2-D float", 1, "", Npy("<i8", false, 3, 3, std::string(72, 0))},
      {"announces more data", 0, "", Npy("<f4", false, 1000, 1000, "")},
      {"Fortran-order", 0, "", Npy("<f4", true, 3, 8, std::string(96, 0))},
      {"pipe", 0, "/dev/stdin", ""},
      {"names an input", 4, args[1], ""},
      {"same path", 5, args[4], ""},
      {"missing directory", 4, dir.Path("no/such/r.json"), ""},
      {"full device", 5, "/dev/full", ""},
      {"too large", 1, dir.Path("big.npy"),
       Npy("<f8", false, 20000, 20000, "")},
      {"larger than memory", 1, dir.Path("big.mat"), M(20000, 20000, 5, 0)},
      {"larger than the probe", 1, "", M(4, 3, 5)}};
  std::string shell = Quote(FUSE_RESULTS_BIN);
  for (const auto& [words, arg, value, content] : breaks) {
    if (given.find(words) == std::string::npos) continue;
    if (!value.empty()) args[arg] = value;
    if (!content.empty()) testutil::WriteFile(args[arg], content);
    *named = args[arg];
  }
  // Cases of the options: what goes before the arguments, and the value
  // the message names.
  const std::string summary = dir.Path("s.json");
  const std::tuple<std::string, std::vector<std::string>, std::string>
      options[] = {
          {"unknown option", {"--sumary", summary}, "--sumary"},
          {"without --summary", {"--fars", "1e-3"}, ""},
          {"whole number", {"--summary", summary, "--ranks", "1,0"}, "1,0"},
          {"decimal number", {"--summary", summary, "--fars=2e-1,2"}, "2e-1,2"},
          {"overwrite an input", {"--summary=" + args[1]}, args[1]},
          {"without --features", {"--metric", "dot"}, ""},
          {"metric that is not", {"--features", "--metric=cos"}, "cos"},
          {"different widths", {"--features"}, args[0]}};
  for (const auto& [words, before, value] : options) {
    if (given.find(words) == std::string::npos) continue;
    for (const std::string& option : before) shell += " " + Quote(option);
    *named = value;
  }
  if (given == "Not six arguments") args.push_back("x");  // More fail too.
  if (given.find("pipe") != std::string::npos) {
    // The whole file through the pipe, or its first 100 bytes.
    const bool whole = given.find("Fortran") != std::string::npos;
    shell = (whole ? "cat " : "head -c 100 ") + Quote(dir.Path("d.mat")) +
            " | " + shell;
  }
  if (Big(given)) {
    // All 20000 x 20000 values present, as a sparse file.
    const bool npy = args[1] == dir.Path("big.npy");
    truncate(args[1].c_str(),
             npy ? 128 + int64_t{20000} * 160000 : 16 + int64_t{20000} * 80000);
    shell = "ulimit -v 800000; " + shell;
  }
  for (const std::string& arg : args) shell += " " + Quote(arg);
  if (given.find("Standard output") != std::string::npos) shell += ">/dev/full";
  // The inputs, but for the sparse ones of gigabytes, whose size stands
  // for them.
  const auto content = [&](const std::string& path) {
    return path == dir.Path("big.mat") || path == dir.Path("big.npy")
               ? std::to_string(testutil::Size(path))
               : testutil::ReadFile(path);
  };
  std::string inputs[3];
  for (int i = 0; i < 3; ++i) inputs[i] = content(args[i]);
  testutil::RunResult run = testutil::Run(dir, "/bin/sh", {"-c", shell});
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(content(args[i]) == inputs[i]) << "input " << i;
  }
  run.out += run.err;
  *wrote = testutil::Exists(dir.Path("r.json")) +
           2 * testutil::Exists(dir.Path("m.json"));
  return run;
}

// Runs every row of the README's table of bad inputs (first column: the
// case; second: backquoted messages; third: the exit status).
TEST(BadInputsTest, EachEndsAsTheReadmeSays) {
  const std::regex row(R"(\| (.+?) \| (.+) \| (\d+) \|)"), quoted("`([^`]*)`");
  const std::regex special(R"([.^$|()\[\]{}*+?\\])"), hole("<[^>]*>");
  std::ifstream readme(FUSE_RESULTS_SOURCE_DIR "/README.md");
  bool inside = false;
  int rows = 0;
  for (std::string line; std::getline(readme, line);) {
    inside = (inside || line == "<!-- bad inputs -->") &&
             line != "<!-- end of bad inputs -->";
    std::smatch cells;
    if (!inside || !std::regex_match(line, cells, row)) continue;
    const std::string given = cells[1];
    const int status = std::stoi(cells[3]);
    SCOPED_TRACE(given);
    ++rows;
    if (Big(given) && testutil::kSanitized) {
      continue;  // The program would not even start under the limit.
    }
    std::string named;
    int wrote = 0;
    const testutil::RunResult run = RunCase(given, &named, &wrote);
    EXPECT_EQ(run.status, status) << run.out;
    // Bad input is refused before any result file is touched, and a result
    // file that cannot be written keeps the other from being replaced; the
    // files are there when only standard output failed.
    const bool written =
        status == 0 || given == "Standard output that cannot be written";
    const int files = written ? 3 : 0;
    EXPECT_EQ(wrote, files);
    // Every quoted message is on a line of the output, <path> naming the
    // file the case broke; other <...> stand for what varies.
    for (std::sregex_iterator it(cells[2].first, cells[2].second, quoted), end;
         it != end; ++it) {
      std::string message = (*it)[1];
      for (size_t at; (at = message.find("<path>")) != std::string::npos;) {
        message.replace(at, 6, named);
      }
      const std::regex pattern(std::regex_replace(
          std::regex_replace(message, special, R"(\$&)"), hole, ".*"));
      EXPECT_TRUE(std::regex_search(run.out, pattern)) << message << " in:\n"
                                                       << run.out;
    }
  }
  EXPECT_GE(rows, 15) << "README table of bad inputs not found";
}

}  // namespace
