// ProgressLine shows how far a long pass has come on standard error.
//
// On a terminal it redraws one line in place, never wider than the
// terminal, and erases it when the pass ends, so that whatever is written
// next starts on a clean line. Elsewhere (a log file, a pipe) it writes a
// few plain lines, and none for a short pass, so that logs stay readable.
#ifndef FUSE_RESULTS_DRIVER_PROGRESS_H_
#define FUSE_RESULTS_DRIVER_PROGRESS_H_

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

// The figures of one progress report.
struct ProgressFigures {
  int64_t done_bytes = 0;
  int64_t total_bytes = 0;
  int64_t row_bytes = 1;  // Converts bytes into rows; at least 1.
  double seconds = 0;     // Since the pass began.
};

// FormatProgress returns the progress text for `figures` in at most
// `max_chars` characters (no control characters, no newline). It keeps, as
// room allows and in this order of importance, the percentage, the time
// left, the rate, the rows done, the gigabytes done, then a longer label.
// The rate and the time left appear only once some data has been read.
// Returns "" if `max_chars` < 1; with less room than the percentage needs,
// returns the percentage cut to `max_chars`.
std::string FormatProgress(const ProgressFigures& figures, int max_chars);

class ProgressLine {
 public:
  // A monotonic clock in seconds, from any fixed moment.
  using SecondsClock = std::function<double()>;

  // Reports on standard error, a terminal iff isatty says so, as wide as
  // the terminal says at each redraw, timed by std::chrono::steady_clock.
  // `row_bytes` converts bytes into rows for the display.
  explicit ProgressLine(int64_t row_bytes);

  // Reports on `sink`. `terminal` selects the redrawn line; `width` is the
  // terminal's width in columns, or 0 to ask the terminal behind `sink`
  // (TIOCGWINSZ) at each redraw, taking 80 when it does not say.
  ProgressLine(int64_t row_bytes, std::FILE* sink, bool terminal, int width,
               SecondsClock clock);

  // Calls Finish().
  ~ProgressLine();

  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Update reports that `done` of `total` bytes have been read.
  // On a terminal, the line is redrawn at most ten times a second, the
  // first time a tenth of a second after the pass began; its text is
  // narrower than the terminal, so it never wraps.
  // Elsewhere, a plain line ending in a newline is written by the update
  // that finds the pass in a later tenth of its total than the update
  // before (it reached 10%, 20%, ..., 100%), if the pass has run for five
  // seconds: at most ten lines, none for a pass that ends within five
  // seconds.
  // Does nothing after Finish().
  void Update(int64_t done, int64_t total);

  // Finish erases the line from a terminal ("\r\033[K") if one was drawn,
  // so that the next message starts at the beginning of an empty line.
  // Later calls, and later Updates, do nothing.
  void Finish();

 private:
  int Width() const;
  void Redraw(const ProgressFigures& figures);
  void WritePlainLine(const ProgressFigures& figures);

  int64_t row_bytes_;
  std::FILE* sink_;
  bool terminal_;
  int width_;
  SecondsClock clock_;
  double start_;
  double last_draw_;
  bool drawn_ = false;
  bool finished_ = false;
  int next_tenth_ = 1;  // The lowest tenth of the pass not yet entered.
};

#endif  // FUSE_RESULTS_DRIVER_PROGRESS_H_
