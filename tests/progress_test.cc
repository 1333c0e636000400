// ProgressLine: the text fits the terminal, the line is erased when the
// pass ends, and a log receives at most ten plain lines, none for a short
// pass. A fake clock drives every case; one case draws on a real
// pseudo-terminal to check that its width is read.
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/progress.h"

namespace {

constexpr char kErase[] = "\r\033[K";

// 1400 of 3500 rows of 4 MB, read in 2 s: 2.8 GB/s, 3 s left.
constexpr ProgressFigures kFortyPercent{5'600'000'000, 14'000'000'000,
                                        4'000'000, 2.0};

// Sink collects what a ProgressLine writes.
class Sink {
 public:
  Sink() : file_(open_memstream(&buffer_, &size_)) {}
  ~Sink() {
    std::fclose(file_);
    std::free(buffer_);
  }
  std::FILE* file() { return file_; }
  std::string Text() {
    std::fflush(file_);
    return std::string(buffer_, size_);
  }

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  std::FILE* file_;
};

// The texts drawn on a terminal, in order: what follows each erase.
std::vector<std::string> Drawn(const std::string& output) {
  std::vector<std::string> texts;
  size_t at = output.find(kErase);
  while (at != std::string::npos) {
    const size_t from = at + sizeof(kErase) - 1;
    at = output.find(kErase, from);
    texts.push_back(output.substr(from, at - from));
  }
  return texts;
}

TEST(FormatProgressTest, FitsTheWidthDroppingTheLeastImportantFirst) {
  const struct {
    int max_chars;
    const char* text;
  } cases[] = {
      {199,
       "scanning distractor scores: 40% (1400/3500 rows, 5.6/14.0 GB, "
       "2.8 GB/s, 3 s left)"},
      {79, "scanning: 40% (1400/3500 rows, 5.6/14.0 GB, 2.8 GB/s, 3 s left)"},
      {60, "scanning: 40% (1400/3500 rows, 2.8 GB/s, 3 s left)"},
      {39, "scanning: 40% (2.8 GB/s, 3 s left)"},
      {24, "scanning: 40% (3 s left)"},
      {20, "40% (3 s left)"},
      {13, "40%"},
      {2, "40"},
      {0, ""},
      {-5, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatProgress(kFortyPercent, c.max_chars), c.text)
        << c.max_chars;
  }
}

TEST(FormatProgressTest, NeverExceedsTheWidthAndKeepsThePercentage) {
  const ProgressFigures figures[] = {
      kFortyPercent,
      {0, 14'000'000'000, 4'000'000, 0},                     // Not yet started.
      {999'999'999'999, 1'000'000'000'000, 1'000'000, 9e4},  // 99%, slow.
      {3, 7, 0, 1e-9},  // No row size, a burst of speed.
      {5, 0, 1, 1},     // An empty matrix counts as done.
  };
  for (const ProgressFigures& f : figures) {
    const std::string percent = FormatProgress(f, 4);
    for (int max_chars = 1; max_chars <= 200; ++max_chars) {
      const std::string text = FormatProgress(f, max_chars);
      EXPECT_LE(text.size(), static_cast<size_t>(max_chars)) << text;
      if (max_chars >= 4) {
        EXPECT_NE(text.find(percent), std::string::npos) << text;
      }
    }
  }
  EXPECT_EQ(FormatProgress(figures[1], 200),
            "scanning distractor scores: 0% (0/3500 rows, 0.0/14.0 GB)");
  EXPECT_EQ(FormatProgress(figures[2], 200),
            "scanning distractor scores: 99% (999999/1000000 rows, "
            "1000.0/1000.0 GB, 11 MB/s, 0 s left)");
  EXPECT_EQ(FormatProgress(figures[4], 4), "100%");
  // Whole percentages are exact: 29 of 100 is not 28.999...%.
  EXPECT_EQ(FormatProgress({29, 100, 1, 0}, 3), "29%");
  // Minutes and hours once the time left is long.
  EXPECT_EQ(FormatProgress({1'000'000'000, 200'000'000'000, 1, 1}, 25),
            "0% (3 min 19 s left)");
  EXPECT_EQ(FormatProgress({1'000'000'000, 200'000'000'000, 1, 100}, 25),
            "0% (5 h 31 min left)");
}

TEST(ProgressLineTest, TerminalLineFitsAndIsErasedAtTheEnd) {
  // The fourth redraw shows kFortyPercent, as wide as each terminal allows.
  const struct {
    int width;
    const char* fourth;
  } terminals[] = {
      {40, "scanning: 40% (2.8 GB/s, 3 s left)"},
      {80, "scanning: 40% (1400/3500 rows, 5.6/14.0 GB, 2.8 GB/s, 3 s left)"},
      {200,
       "scanning distractor scores: 40% (1400/3500 rows, 5.6/14.0 GB, "
       "2.8 GB/s, 3 s left)"},
  };
  for (const auto& [width, fourth] : terminals) {
    Sink sink;
    double now = 0;
    {
      ProgressLine line(4'000'000, sink.file(), true, width,
                        [&now] { return now; });
      for (int step = 1; step <= 10; ++step) {
        now = step * 0.5;
        line.Update(step * 1'400'000'000LL, 14'000'000'000);
      }
    }  // The destructor finishes the line.
    const std::string output = sink.Text();
    EXPECT_EQ(output.find('\n'), std::string::npos) << width;
    ASSERT_GE(output.size(), 4u);
    EXPECT_EQ(output.substr(output.size() - 4), kErase) << width;
    const std::vector<std::string> texts = Drawn(output);
    ASSERT_EQ(texts.size(), 11u) << width;  // Ten redraws and the erase.
    EXPECT_EQ(texts.back(), "");
    for (const std::string& text : texts) {
      EXPECT_LT(text.size(), static_cast<size_t>(width)) << text;
    }
    EXPECT_EQ(texts[3], fourth);
  }
}

TEST(ProgressLineTest, TerminalRedrawsAtMostTenTimesASecond) {
  Sink sink;
  double now = 0;
  ProgressLine line(1, sink.file(), true, 80, [&now] { return now; });
  const struct {
    double at;
    bool drawn;
  } updates[] = {{0.05, false},  {0.1, true}, {0.15, false},
                 {0.199, false}, {0.2, true}, {5.0, true}};
  size_t draws = 0;
  for (const auto& u : updates) {
    now = u.at;
    line.Update(50, 100);
    if (u.drawn) ++draws;
    EXPECT_EQ(Drawn(sink.Text()).size(), draws) << u.at;
  }
  line.Finish();
  const std::string finished = sink.Text();
  EXPECT_EQ(Drawn(finished).size(), draws + 1);
  // Finish is done once; later updates draw nothing.
  line.Finish();
  now = 9;
  line.Update(100, 100);
  EXPECT_EQ(sink.Text(), finished);
}

TEST(ProgressLineTest, NothingToEraseWhenNothingWasDrawn) {
  Sink sink;
  double now = 0;
  {
    ProgressLine line(1, sink.file(), true, 80, [&now] { return now; });
    now = 0.09;
    line.Update(100, 100);  // A pass over within a tenth of a second.
    line.Finish();
  }
  EXPECT_EQ(sink.Text(), "");
}

// The plain lines a ProgressLine writes to a non-terminal for a pass that
// reads 1% more every `step_seconds`.
std::string PlainPass(double step_seconds) {
  Sink sink;
  double now = 0;
  {
    ProgressLine line(1'000'000, sink.file(), false, 0, [&now] { return now; });
    for (int percent = 1; percent <= 100; ++percent) {
      now = percent * step_seconds;
      line.Update(percent * 10'000'000LL, 1'000'000'000);
    }
    line.Update(1'000'000'000, 1'000'000'000);  // The end, once more.
  }
  return sink.Text();
}

TEST(ProgressLineTest, LogGetsALineATenthAfterFiveSeconds) {
  // 10 s in all: 5 s are reached at 50%, then a line at each tenth.
  const std::string half = PlainPass(0.1);
  EXPECT_EQ(std::count(half.begin(), half.end(), '\n'), 6) << half;
  EXPECT_EQ(half.substr(0, half.find('\n') + 1),
            "scanning distractor scores: 50% (500/1000 rows, 0.5/1.0 GB, "
            "100 MB/s, 5 s left)\n");
  EXPECT_NE(half.find("\nscanning distractor scores: 100% (1000/1000 rows"),
            std::string::npos);
  // A long pass: one line per tenth, ten in all, no terminal controls.
  const std::string long_pass = PlainPass(10);
  EXPECT_EQ(std::count(long_pass.begin(), long_pass.end(), '\n'), 10);
  EXPECT_EQ(long_pass.find_first_of("\r\033"), std::string::npos);
  // A pass under five seconds writes nothing, not even at its end.
  EXPECT_EQ(PlainPass(0.049), "");
}

TEST(ProgressLineTest, LogWaitsForTheNextTenthAfterTheQuietStart) {
  // The pass is at 37% when five seconds have passed, in a tenth it
  // entered before: the first line comes at 40%.
  Sink sink;
  double now = 0;
  ProgressLine line(1, sink.file(), false, 0, [&now] { return now; });
  const struct {
    double at;
    int percent;
    const char* line;  // The start of the line written, or "" for none.
  } updates[] = {{4.9, 30, ""},    {5.0, 37, ""},      {6.0, 39, ""},
                 {6.5, 40, "40%"}, {7.0, 45, ""},      {8.0, 70, "70%"},
                 {8.5, 79, ""},    {9.0, 100, "100%"}, {9.5, 100, ""}};
  size_t length = 0;
  for (const auto& u : updates) {
    now = u.at;
    line.Update(u.percent, 100);
    const std::string written = sink.Text().substr(length);
    length += written.size();
    if (*u.line == '\0') {
      EXPECT_EQ(written, "") << u.at;
    } else {
      EXPECT_EQ(
          written.rfind(
              std::string("scanning distractor scores: ") + u.line + " (", 0),
          0u)
          << written;
    }
  }
  line.Finish();
  EXPECT_EQ(sink.Text().size(), length);  // Nothing to erase in a log.
}

TEST(ProgressLineTest, ReadsTheWidthOfARealTerminal) {
  int controller = -1, terminal = -1;
  winsize size{};
  size.ws_col = 50;
  size.ws_row = 24;
  ASSERT_EQ(openpty(&controller, &terminal, nullptr, nullptr, &size), 0);
  std::FILE* file = fdopen(terminal, "w");
  ASSERT_NE(file, nullptr);
  double now = 0;
  {
    ProgressLine line(4'000'000, file, isatty(terminal) == 1, 0,
                      [&now] { return now; });
    now = 2;
    line.Update(kFortyPercent.done_bytes, kFortyPercent.total_bytes);
  }
  std::fclose(file);

  const std::string expected =
      kErase + FormatProgress(kFortyPercent, 49) + kErase;
  ASSERT_NE(FormatProgress(kFortyPercent, 49),
            FormatProgress(kFortyPercent, 79));
  std::string output;
  char buffer[256];
  while (output.size() < expected.size()) {
    pollfd ready{controller, POLLIN, 0};
    if (poll(&ready, 1, 10'000) != 1) break;
    const ssize_t got = read(controller, buffer, sizeof(buffer));
    if (got <= 0) break;
    output.append(buffer, got);
  }
  close(controller);
  EXPECT_EQ(output, expected);
}

}  // namespace
