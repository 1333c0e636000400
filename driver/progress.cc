#include "driver/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <utility>
#include <vector>

namespace {

constexpr double kRedrawSeconds = 0.1;     // Ten redraws a second at most.
constexpr double kQuietSeconds = 5.0;      // No plain line before this.
constexpr int kDefaultWidth = 80;          // When a terminal does not say.
constexpr char kEraseLine[] = "\r\033[K";  // To column 0, clear to the end.

template <typename... Args>
std::string Printf(const char* format, Args... args) {
  char text[64];
  std::snprintf(text, sizeof(text), format, args...);
  return text;
}

// Rounded to the second; capped at a million hours, which a stalled pass
// can exceed.
std::string FormatDuration(double seconds) {
  const long long s = std::llround(std::clamp(seconds, 0.0, 3.6e9));
  if (s < 60) return Printf("%lld s", s);
  if (s < 3600) return Printf("%lld min %02lld s", s / 60, s % 60);
  return Printf("%lld h %02lld min", s / 3600, s % 3600 / 60);
}

std::string FormatRate(double bytes_per_second) {
  return bytes_per_second >= 1e9 ? Printf("%.1f GB/s", bytes_per_second / 1e9)
                                 : Printf("%.0f MB/s", bytes_per_second / 1e6);
}

int Percent(int64_t done, int64_t total) {
  if (total <= 0 || done >= total) return 100;
  if (done <= 0) return 0;
  // In integers, so that 99 of 100 is 99%; the quotient of beyond 92
  // petabytes is near enough.
  if (done <= INT64_MAX / 100) return static_cast<int>(done * 100 / total);
  return static_cast<int>(done / (total / 100));
}

// Which of the optional parts a layout shows.
struct Layout {
  const char* label;
  bool rows, gigabytes, rate, left;
};

// From the widest to the narrowest; the first that fits is drawn.
constexpr Layout kLayouts[] = {
    {"scanning distractor scores: ", true, true, true, true},
    {"scanning: ", true, true, true, true},
    {"scanning: ", true, false, true, true},
    {"scanning: ", false, false, true, true},
    {"scanning: ", false, false, false, true},
    {"", false, false, false, true},
    {"", false, false, false, false},
};

}  // namespace

std::string FormatProgress(const ProgressFigures& figures, int max_chars) {
  if (max_chars < 1) return "";
  const int64_t row_bytes = figures.row_bytes > 0 ? figures.row_bytes : 1;
  const int64_t done = figures.done_bytes;
  const int64_t total = figures.total_bytes;
  const std::string percent = std::to_string(Percent(done, total)) + "%";
  const std::string rows = std::to_string(done / row_bytes) + "/" +
                           std::to_string(total / row_bytes) + " rows";
  const std::string gigabytes = Printf("%.1f/%.1f GB", done / 1e9, total / 1e9);
  const bool timed = done > 0 && figures.seconds > 0;
  const double rate = timed ? done / figures.seconds : 0;
  const std::string rate_text = timed ? FormatRate(rate) : "";
  const std::string left =
      timed
          ? FormatDuration(std::max<int64_t>(total - done, 0) / rate) + " left"
          : "";

  for (const Layout& layout : kLayouts) {
    std::vector<std::string> parts;
    if (layout.rows) parts.push_back(rows);
    if (layout.gigabytes) parts.push_back(gigabytes);
    if (layout.rate && timed) parts.push_back(rate_text);
    if (layout.left && timed) parts.push_back(left);
    std::string text = layout.label + percent;
    for (size_t i = 0; i < parts.size(); ++i) {
      text += (i == 0 ? " (" : ", ") + parts[i];
    }
    if (!parts.empty()) text += ")";
    if (static_cast<int>(text.size()) <= max_chars) return text;
  }
  return percent.substr(0, max_chars);
}

ProgressLine::ProgressLine(int64_t row_bytes)
    : ProgressLine(row_bytes, stderr, isatty(STDERR_FILENO) == 1, 0, [] {
        return std::chrono::duration<double>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
      }) {}

ProgressLine::ProgressLine(int64_t row_bytes, std::FILE* sink, bool terminal,
                           int width, SecondsClock clock)
    : row_bytes_(row_bytes > 0 ? row_bytes : 1),
      sink_(sink),
      terminal_(terminal),
      width_(width),
      clock_(std::move(clock)),
      start_(clock_()),
      last_draw_(start_) {}

ProgressLine::~ProgressLine() { Finish(); }

void ProgressLine::Update(int64_t done, int64_t total) {
  if (finished_) return;
  const double now = clock_();
  const ProgressFigures figures{done, total, row_bytes_, now - start_};
  if (terminal_) {
    if (now - last_draw_ < kRedrawSeconds) return;
    last_draw_ = now;
    Redraw(figures);
    return;
  }
  // A tenth entered during the quiet start is passed over, so that lines
  // come only where the pass crosses into another tenth.
  const int tenth = Percent(done, total) / 10;
  if (tenth < next_tenth_) return;
  next_tenth_ = tenth + 1;
  if (figures.seconds >= kQuietSeconds) WritePlainLine(figures);
}

void ProgressLine::Finish() {
  if (finished_) return;
  finished_ = true;
  if (drawn_) {
    std::fputs(kEraseLine, sink_);
    std::fflush(sink_);
  }
}

int ProgressLine::Width() const {
  if (width_ > 0) return width_;
  winsize size{};
  if (ioctl(fileno(sink_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    return size.ws_col;
  }
  return kDefaultWidth;
}

void ProgressLine::Redraw(const ProgressFigures& figures) {
  // One column is left free: some terminals wrap as soon as the last column
  // is written, which would push the next redraw onto a new line.
  const std::string text = FormatProgress(figures, Width() - 1);
  if (text.empty()) return;
  std::fprintf(sink_, "%s%s", kEraseLine, text.c_str());
  std::fflush(sink_);
  drawn_ = true;
}

void ProgressLine::WritePlainLine(const ProgressFigures& figures) {
  std::fprintf(sink_, "%s\n", FormatProgress(figures, 1 << 20).c_str());
  std::fflush(sink_);
}
