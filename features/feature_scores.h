// Scores computed from features: one vector per image, the probes' and the
// distractors' (or the probes' again), compared by a metric. Every score is
// computed by one matrix product of fixed shape per tile, so a score's bits
// depend only on the two feature rows and on the row's place in its tile,
// never on the threads, on which tiles a process computes or on which
// program computes it: the evaluation from features and the score files
// written from the same features hold the same scores.
#ifndef FUSE_RESULTS_FEATURES_FEATURE_SCORES_H_
#define FUSE_RESULTS_FEATURES_FEATURE_SCORES_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

// How two feature rows a and b are compared; higher means more alike.
//   kCosine: a and b scaled to unit length (a zero row stays zero, so it
//            scores 0 against every row), then their dot product;
//   kDot:    their dot product;
//   kL2:     minus their Euclidean distance, sqrt(|a|^2 + |b|^2 - 2 a.b),
//            the squared norms summed in double (0, never -0, where the
//            radicand is 0 or rounding makes it negative).
// A row holding a NaN scores NaN against every row.
enum class Metric { kCosine, kDot, kL2 };

// ParseMetric reads "cosine", "dot" or "l2"; returns false for anything
// else.
bool ParseMetric(const std::string& text, Metric* metric);

// MetricName returns the name ParseMetric reads.
const char* MetricName(Metric metric);

// FeatureFileProblem returns what keeps a feature file holding a `rows` x
// `cols` matrix of OpenCV `type` from being scored, or "" when nothing
// does: values that are not 32-bit floats (type code 5), no columns,
// another width than the probes' `dim` (for the distractors' file; -1 for
// the probes' own), or columns stored one after the other
// (`column_major`), which cannot be read a row at a time.
std::string FeatureFileProblem(int32_t rows, int32_t cols, int32_t type,
                               int32_t dim, bool column_major);

// UseOneBlasThread makes the BLAS library compute every product on the
// thread that asks for it and ends the worker threads it started when it
// was loaded. Those workers never get work here, yet for their first tenth
// of a second or so they poll for it, which on a machine of few cores takes
// a core from the program's own threads. Only OpenBLAS has the calls; with
// another BLAS this does nothing. Calling it again is harmless.
void UseOneBlasThread();

// The buffers of one thread's tiles.
struct TileScratch {
  std::vector<float> rows;    // tile_rows x dim, prepared, zero padded.
  std::vector<double> norms;  // Squared norms of the rows (kL2).
  std::vector<float> scores;  // block_probes x tile_rows.
};

// FeatureScorer scores the probes' feature rows against tiles of other
// rows. Probes are taken in blocks of block_probes() rows (the last block
// padded with zero rows), other rows in tiles of tile_rows() rows (the last
// tile padded), so that every product has the same shape.
class FeatureScorer {
 public:
  // TileRows returns the rows of other features per tile for features of
  // `dim` columns: 1,024 up to 512 columns (a tile of 2 MiB at most), then
  // halved as the columns double, down to 16, so that a tile and a block of
  // scores (block_probes() x tile rows) stay near 2 MiB each, and a block
  // is scanned while it is still in the cache.
  static int32_t TileRows(int32_t dim);

  // Takes the probes' features (rows x dim, CV_32FC1) and the metric.
  // Throws std::bad_alloc when memory runs out.
  FeatureScorer(const cv::Mat& probe_features, Metric metric);

  // The probes' features as given.
  const cv::Mat& features() const { return features_; }
  Metric metric() const { return metric_; }
  int32_t probes() const { return probes_; }
  int32_t dim() const { return dim_; }
  int32_t tile_rows() const { return tile_rows_; }

  // What ScoreTile hands over for each block of probes: the scores of
  // probes first .. end - 1, probe p's against tile row j at
  // scores[(p - first) * tile_rows() + j], valid during the call only.
  using BlockScores =
      std::function<void(int32_t first, int32_t end, const float* scores)>;

  // ScoreTile scores the tile of `count` (at most tile_rows()) rows of
  // `dim()` floats at `rows`, one after the other, against probes 0 ..
  // probes - 1 (at most probes()), a block at a time through `scratch`,
  // and calls `use` with each block's scores while they are in the cache.
  void ScoreTile(const float* rows, int32_t count, int32_t probes,
                 TileScratch* scratch, const BlockScores& use) const;

  // ScoreMatrix returns the probes x rows matrix of the probes' scores
  // against every row of `others` (rows x dim, CV_32FC1), computed tile by
  // tile on the threads there are.
  cv::Mat ScoreMatrix(const cv::Mat& others) const;

 private:
  // PrepareTile takes the tile's rows into `scratch` as the metric needs
  // them, padded with zero rows.
  void PrepareTile(const float* rows, int32_t count,
                   TileScratch* scratch) const;

  // ScoreBlock computes the scores of the probes of block `block` against
  // the tile prepared in `scratch`, into scratch->scores.
  void ScoreBlock(int32_t block, TileScratch* scratch) const;

  Metric metric_;
  cv::Mat features_;
  int32_t probes_ = 0;
  int32_t dim_ = 0;
  int32_t block_probes_ = 0;
  int32_t blocks_ = 0;
  int32_t tile_rows_ = 0;
  std::vector<float> prepared_;      // blocks x block_probes x dim.
  std::vector<double> probe_norms_;  // Squared norms (kL2).
};

#endif  // FUSE_RESULTS_FEATURES_FEATURE_SCORES_H_
