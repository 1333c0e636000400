// score_features: writes the two score matrices that `fuse_results
// --features` evaluates from the same feature files, computed by the same
// code, so that fuse_results on them gives the same result files.
//
//   score_features [--metric cosine|dot|l2] <distractor_features>
//       <probe_features> <distractor_scores_out> <probe_scores_out>
//
// The distractor score matrix (probes x distractors: row p holds probe p's
// scores against every distractor) is written tile by tile, each tile's
// runs where they belong in the file, so memory holds a few tiles and the
// probes, never the matrix. Both files appear only when complete.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "features/feature_scores.h"
#include "matio/mat_io.h"
#include "matio/mat_stream.h"
#include "matio/score_matrix.h"

namespace {

constexpr char kUsage[] =
    "Usage: score_features [--metric cosine|dot|l2] <distractor_features> "
    "<probe_features> <distractor_scores_out> <probe_scores_out>\n";

// Tiles read and scored together.
constexpr int32_t kTilesPerBatch = 8;

int Fail(const std::string& path, const std::string& why) {
  std::fprintf(stderr, "score_features: %s: %s\n", path.c_str(), why.c_str());
  return 1;
}

// A file written under a temporary name beside its path and renamed into
// place when complete; removed when abandoned.
class OutputFile {
 public:
  explicit OutputFile(const std::string& path) : path_(path) {
    temporary_ = path + ".XXXXXX";
    fd_ = mkstemp(temporary_.data());
  }
  ~OutputFile() {
    if (fd_ >= 0) close(fd_);
    if (!committed_ && fd_ != -2) unlink(temporary_.c_str());
  }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool Commit() {
    if (fchmod(fd_, 0644) != 0 || fsync(fd_) != 0 || close(fd_) != 0) {
      fd_ = -1;
      return false;
    }
    fd_ = -1;
    committed_ = rename(temporary_.c_str(), path_.c_str()) == 0;
    return committed_;
  }

 private:
  std::string path_;
  std::string temporary_;
  int fd_ = -1;
  bool committed_ = false;
};

bool WriteAll(int fd, const void* data, size_t length, off_t at) {
  const char* bytes = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t done = pwrite(fd, bytes, length, at);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    length -= static_cast<size_t>(done);
    at += done;
  }
  return true;
}

// The tiles of one batch, scored and written on the threads there are.
struct BatchTiles {
  const FeatureScorer& scorer;
  const std::vector<float>& rows;  // The batch's feature rows.
  int32_t first;                   // Its first distractor.
  int32_t count;                   // Its distractors.
  int32_t distractors;             // Columns of the output.
  int fd;
  tbb::enumerable_thread_specific<TileScratch>* scratches;
  std::atomic<bool>* failed;  // Set by any thread whose write fails.

  void operator()(const tbb::blocked_range<int32_t>& tiles) const {
    const int32_t n = scorer.tile_rows();
    TileScratch& scratch = scratches->local();
    for (int32_t t = tiles.begin(); t < tiles.end(); ++t) {
      const int32_t tile_count = std::min(n, count - t * n);
      scorer.ScoreTile(
          &rows[size_t(t) * n * scorer.dim()], tile_count, scorer.probes(),
          &scratch, [&](int32_t p0, int32_t p1, const float* scores) {
            for (int32_t p = p0; p < p1; ++p) {
              const off_t at =
                  16 + (off_t{p} * distractors + first + t * n) * 4;
              if (!WriteAll(fd, scores + size_t(p - p0) * n,
                            sizeof(float) * tile_count, at)) {
                failed->store(true);
              }
            }
          });
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  Metric metric = Metric::kCosine;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0].rfind("--metric", 0) == 0) {
    std::string value;
    if (args[0].size() > 9 && args[0][8] == '=') {
      value = args[0].substr(9);
      args.erase(args.begin());
    } else if (args[0] == "--metric" && args.size() > 1) {
      value = args[1];
      args.erase(args.begin(), args.begin() + 2);
    }
    if (!ParseMetric(value, &metric)) {
      std::fprintf(stderr,
                   "score_features: --metric \"%s\": the metrics are cosine, "
                   "dot and l2\n",
                   value.c_str());
      return 1;
    }
  }
  if (args.size() != 4) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  const std::string& distractor_path = args[0];
  const std::string& probe_path = args[1];

  cv::Mat probes;
  std::string error;
  if (!LoadScoreMatrix(probe_path, &probes, nullptr, &error)) {
    return Fail(probe_path, error);
  }
  error =
      FeatureFileProblem(probes.rows, probes.cols, probes.type(), -1, false);
  if (!error.empty()) return Fail(probe_path, error);
  MatRowStream stream;
  bool opened = false;
  if (!stream.Open(distractor_path, &opened, &error)) {
    return Fail(distractor_path, error);
  }
  const MatHeader& header = stream.header();
  error = FeatureFileProblem(header.rows, header.cols, header.type, probes.cols,
                             stream.column_major());
  if (!error.empty()) return Fail(distractor_path, error);
  const FeatureScorer scorer(probes, metric);

  OutputFile probe_out(args[3]);
  OutputFile distractor_out(args[2]);
  if (!probe_out.ok()) return Fail(args[3], std::strerror(errno));
  if (!distractor_out.ok()) return Fail(args[2], std::strerror(errno));
  {
    const cv::Mat probe_scores = scorer.ScoreMatrix(probes);
    FILE* file = fdopen(dup(probe_out.fd()), "wb");
    const bool written = file != nullptr && MatIO::write(probe_scores, file);
    if (file == nullptr || std::fclose(file) != 0 || !written) {
      return Fail(args[3], "cannot be written");
    }
  }

  const int32_t distractors = header.rows;
  const int32_t dim = scorer.dim();
  const MatHeader out_header{scorer.probes(), distractors, distractors * 4, 5};
  {
    FILE* file = fdopen(dup(distractor_out.fd()), "wb");
    const bool written =
        file != nullptr && MatIO::WriteHeader(file, out_header);
    if (file == nullptr || std::fclose(file) != 0 || !written ||
        ftruncate(distractor_out.fd(),
                  16 + off_t{scorer.probes()} * distractors * 4) != 0) {
      return Fail(args[2], "cannot be written");
    }
  }
  stream.Select(distractors, dim);
  const int32_t n = scorer.tile_rows();
  std::vector<float> rows(size_t(kTilesPerBatch) * n * dim);
  std::vector<RowSegment> segments;
  tbb::enumerable_thread_specific<TileScratch> scratches;
  std::atomic<bool> failed{false};
  for (int32_t first = 0; first < distractors;) {
    const int32_t count = std::min(kTilesPerBatch * n, distractors - first);
    const int64_t wanted = int64_t{count} * dim;
    for (int64_t filled = 0; filled < wanted;) {
      if (!stream.Next(rows.data() + filled, wanted - filled, &segments,
                       &error)) {
        return Fail(distractor_path, error);
      }
      for (const RowSegment& segment : segments) filled += segment.count;
    }
    tbb::parallel_for(tbb::blocked_range<int32_t>(0, (count + n - 1) / n, 1),
                      BatchTiles{scorer, rows, first, count, distractors,
                                 distractor_out.fd(), &scratches, &failed});
    if (failed) return Fail(args[2], "cannot be written");
    first += count;
  }
  if (!stream.Next(rows.data(), 1, &segments, &error)) {
    return Fail(distractor_path, error);
  }
  if (!distractor_out.Commit()) return Fail(args[2], "cannot be written");
  if (!probe_out.Commit()) return Fail(args[3], "cannot be written");
  return 0;
}
