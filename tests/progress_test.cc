// ProgressLine on a fake terminal, a log and a real pseudo-terminal, and
// the stage clock's account of the pass.
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "driver/progress.h"
#include "driver/stage_times.h"

namespace {

constexpr char kErase[] = "\r\033[K";
constexpr int64_t kTotal = 14'000'000'000;  // 3500 rows of 4 MB.

// Runs a ProgressLine on `sink` with updates (seconds, percent of kTotal,
// ...), then Finish, an update and Finish again, which must add nothing.
void Pass(std::FILE* sink, bool terminal, int width, std::vector<double> at) {
  double now = 0;
  ProgressLine line(4'000'000, sink, terminal, width, [&] { return now; });
  for (size_t i = 0; i + 1 < at.size(); i += 2) {
    now = at[i];
    line.Update(static_cast<int64_t>(at[i + 1] * kTotal / 100), kTotal);
  }
  line.Finish();
  line.Update(kTotal, kTotal);
}

// What Pass writes on a terminal `width` columns wide (0: on a log).
std::string Output(int width, const std::vector<double>& at) {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* sink = open_memstream(&buffer, &size);
  Pass(sink, width > 0, width, at);
  std::fclose(sink);
  const std::string output(buffer, size);
  std::free(buffer);
  return output;
}

TEST(ProgressLineTest, TerminalLineFitsTheWidthIsThrottledAndErased) {
  // Drawn at 0.1 s, 0.2 s and each 0.5 s; not before 0.1 s, nor at 0.15 s.
  const std::vector<double> updates = {
      0.05, 1,  0.1, 2,  0.15, 3,  0.2, 4,  0.5, 10, 1,   20, 1.5, 30,
      2,    40, 2.5, 50, 3,    60, 3.5, 70, 4,   80, 4.5, 90, 5,   100};
  // At 2 s, 40% is read at 2.8 GB/s with 3 s left; shown as room allows.
  const std::pair<int, const char*> terminals[] = {
      {200,
       "scanning distractor scores: 40% (1400/3500 rows, 5.6/14.0 GB, "
       "2.8 GB/s, 3 s left)"},
      {80, "scanning: 40% (1400/3500 rows, 5.6/14.0 GB, 2.8 GB/s, 3 s left)"},
      {34, "scanning: 40% (3 s left)"},
      {20, "40% (3 s left)"},
      {3, "40"}};
  for (const auto& [width, forty] : terminals) {
    const std::string output = Output(width, updates);
    // Twelve draws narrower than the terminal, then one erase.
    const std::string draw =
        "\r\033\\[K[^\r\n]{0," + std::to_string(width - 1) + "}";
    EXPECT_TRUE(
        std::regex_match(output, std::regex("(" + draw + "){12}\r\033\\[K")))
        << output;
    EXPECT_NE(output.find(kErase + std::string(forty) + kErase),
              std::string::npos);
  }
  EXPECT_EQ(Output(80, {0.09, 100}), "");  // Nothing drawn, none erased.
}

TEST(ProgressLineTest, LogGetsALineATenthOnceFiveSecondsHavePassed) {
  // 37% at 5 s is in a tenth entered before: the first line comes at 40%.
  const std::string log = Output(0, {4.9, 30, 5, 37, 6, 39, 6.5, 40, 7, 45, 8,
                                     70, 8.5, 79, 9, 100, 9.5, 100});
  const std::regex label_and_figures("scanning distractor scores: | \\(.*");
  EXPECT_EQ(std::regex_replace(log, label_and_figures, ""), "40%\n70%\n100%\n");
  // A long pass writes a line a tenth.
  std::vector<double> slow;
  for (double percent = 1; percent <= 100; ++percent) {
    slow.insert(slow.end(), {percent * 10, percent});
  }
  const std::string long_log = Output(0, slow);
  EXPECT_EQ(std::regex_replace(long_log, label_and_figures, ""),
            "10%\n20%\n30%\n40%\n50%\n60%\n70%\n80%\n90%\n100%\n");
  EXPECT_EQ(long_log.substr(0, long_log.find('\n')),
            "scanning distractor scores: 10% (350/3500 rows, 1.4/14.0 GB, "
            "14 MB/s, 15 min 00 s left)");
}

TEST(ProgressLineTest, ReadsTheWidthOfARealTerminal) {
  int controller = -1, terminal = -1;
  winsize size{24, 50, 0, 0};
  ASSERT_EQ(openpty(&controller, &terminal, nullptr, nullptr, &size), 0);
  std::FILE* file = fdopen(terminal, "w");
  ASSERT_NE(file, nullptr);
  Pass(file, true, 0, {2, 40});
  std::fclose(file);
  const std::string expected =
      kErase + std::string("scanning: 40% (2.8 GB/s, 3 s left)") + kErase;
  // As much as expected, or less if the line ends early.
  std::FILE* in = fdopen(controller, "r");
  std::string output(expected.size(), '\0');
  output.resize(std::fread(output.data(), 1, output.size(), in));
  std::fclose(in);
  EXPECT_EQ(output, expected);
}

// The stages StageTimes prints, by name, in milliseconds, with the time
// outside the pass as "outside".
std::map<std::string, double> PrintedStages(const StageTimes& times) {
  std::FILE* out = std::tmpfile();
  times.Print(out);
  std::rewind(out);
  std::map<std::string, double> stages;
  char line[256];
  const std::regex stage("timing: (.*[^ ]) +([0-9.]+) ms");
  const std::regex outside(".*outside the pass ([0-9.]+) ms");
  while (std::fgets(line, sizeof line, out) != nullptr) {
    std::cmatch match;
    if (std::regex_search(line, match, outside)) {
      stages["outside"] = std::stod(match[1]);
    } else if (std::regex_search(line, match, stage)) {
      stages[match[1]] = std::stod(match[2]);
    }
  }
  std::fclose(out);
  return stages;
}

// Told where the pass's reading starts and ends, the clock counts only
// that stretch as the pass: its set-up and its answers are stages of their
// own, outside it. Untold, the pass is all of its brackets.
TEST(StageTimesTest, ThePassIsItsReadingWhenItSaysWhereThatIs) {
  setenv("FUSE_RESULTS_TIMING", "1", 1);
  const auto wait = [](int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  };
  StageTimes told;
  told.BeginPass();
  wait(15);
  told.ReadingStarts();
  wait(30);
  told.ReadingEnds();
  wait(15);
  told.EndPass(1000);
  std::map<std::string, double> stages = PrintedStages(told);
  EXPECT_GE(stages["pass set-up"], 15);
  EXPECT_GE(stages["pass"], 30);
  EXPECT_GE(stages["pass answers"], 15);
  EXPECT_GE(stages["outside"], 30);
  StageTimes untold;
  untold.BeginPass();
  wait(30);
  untold.EndPass(1000);
  stages = PrintedStages(untold);
  EXPECT_GE(stages["pass"], 30);
  EXPECT_EQ(stages.count("pass set-up"), 0u);
  unsetenv("FUSE_RESULTS_TIMING");
}

}  // namespace
