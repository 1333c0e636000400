#include "features/feature_scores.h"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

// OpenBLAS's thread controls; other BLAS libraries lack them.
extern "C" int openblas_get_num_threads() __attribute__((weak));
extern "C" void openblas_set_num_threads(int threads) __attribute__((weak));
extern "C" int blas_thread_shutdown_() __attribute__((weak));

namespace {

// Probe rows per block at most; the blocks of a probe set are as even as
// this allows.
constexpr int32_t kMaxBlockProbes = 512;

// SumOfSquares returns the sum of the squares of `dim` floats, in double.
double SumOfSquares(const float* row, int32_t dim) {
  double sum = 0;
  for (int32_t k = 0; k < dim; ++k) sum += double{row[k]} * row[k];
  return sum;
}

// PrepareRow writes `row` as the metric compares it to `out`, and its
// squared norm (before scaling) to `*norm`.
void PrepareRow(Metric metric, const float* row, int32_t dim, float* out,
                double* norm) {
  *norm = SumOfSquares(row, dim);
  if (metric != Metric::kCosine) {
    std::memcpy(out, row, sizeof(float) * dim);
    return;
  }
  if (*norm == 0) {
    std::fill(out, out + dim, 0.0f);
    return;
  }
  const double length = std::sqrt(*norm);  // NaN for a row holding one.
  for (int32_t k = 0; k < dim; ++k) {
    out[k] = static_cast<float>(row[k] / length);
  }
}

// The tiles of ScoreMatrix, each on one thread.
struct MatrixTiles {
  const FeatureScorer& scorer;
  const cv::Mat& others;
  tbb::enumerable_thread_specific<TileScratch>* scratches;
  cv::Mat* scores;

  void operator()(const tbb::blocked_range<int32_t>& tiles) const {
    const int32_t n = scorer.tile_rows();
    TileScratch& scratch = scratches->local();
    for (int32_t tile = tiles.begin(); tile < tiles.end(); ++tile) {
      const int32_t first = tile * n;
      const int32_t count = std::min(n, others.rows - first);
      scorer.ScoreTile(
          others.ptr<float>(first), count, scorer.probes(), &scratch,
          [&](int32_t p0, int32_t p1, const float* block) {
            for (int32_t p = p0; p < p1; ++p) {
              std::memcpy(scores->ptr<float>(p) + first,
                          block + size_t(p - p0) * n, sizeof(float) * count);
            }
          });
    }
  }
};

}  // namespace

bool ParseMetric(const std::string& text, Metric* metric) {
  for (const Metric m : {Metric::kCosine, Metric::kDot, Metric::kL2}) {
    if (text == MetricName(m)) {
      *metric = m;
      return true;
    }
  }
  return false;
}

std::string FeatureFileProblem(int32_t rows, int32_t cols, int32_t type,
                               int32_t dim, bool column_major) {
  if (rows > 0 && type != CV_32FC1) {
    return "features must be 32-bit floats (type code 5), not type code " +
           std::to_string(type);
  }
  if (rows > 0 && dim >= 0 && cols != dim) {
    return "the distractor features have " + std::to_string(cols) +
           " columns, but the probe features have " + std::to_string(dim);
  }
  if (rows > 0 && cols == 0) return "the features have no columns";
  if (column_major) {
    return "is in Fortran order; features are read a row at a time: save "
           "them in C order (np.ascontiguousarray)";
  }
  return "";
}

const char* MetricName(Metric metric) {
  switch (metric) {
    case Metric::kCosine:
      return "cosine";
    case Metric::kDot:
      return "dot";
    case Metric::kL2:
      return "l2";
  }
  return "?";
}

void UseOneBlasThread() {
  // Setting the count starts the workers again when they were ended, so it
  // is set only when it differs, and the workers are ended after it.
  if (openblas_get_num_threads != nullptr &&
      openblas_set_num_threads != nullptr && openblas_get_num_threads() != 1) {
    openblas_set_num_threads(1);
  }
  if (blas_thread_shutdown_ != nullptr) blas_thread_shutdown_();
}

FeatureScorer::FeatureScorer(const cv::Mat& probe_features, Metric metric)
    : metric_(metric),
      features_(probe_features.clone()),
      probes_(probe_features.rows),
      dim_(probe_features.cols) {
  // OpenBLAS's own threads would compete with the scan's.
  UseOneBlasThread();
  tile_rows_ = TileRows(dim_);
  blocks_ = std::max(1, (probes_ + kMaxBlockProbes - 1) / kMaxBlockProbes);
  block_probes_ = std::max(1, (probes_ + blocks_ - 1) / blocks_);
  prepared_.assign(size_t(blocks_) * block_probes_ * dim_, 0.0f);
  probe_norms_.assign(size_t(blocks_) * block_probes_, 0.0);
  for (int32_t p = 0; p < probes_; ++p) {
    PrepareRow(metric_, probe_features.ptr<float>(p), dim_,
               &prepared_[size_t(p) * dim_], &probe_norms_[p]);
  }
}

int32_t FeatureScorer::TileRows(int32_t dim) {
  int32_t rows = 1024;
  for (int64_t columns = 512; columns < dim && rows > 16; columns *= 2) {
    rows /= 2;
  }
  return rows;
}

void FeatureScorer::ScoreTile(const float* rows, int32_t count, int32_t probes,
                              TileScratch* scratch,
                              const BlockScores& use) const {
  PrepareTile(rows, count, scratch);
  const int32_t end = std::min(probes, probes_);
  for (int32_t block = 0; block * block_probes_ < end; ++block) {
    ScoreBlock(block, scratch);
    const int32_t first = block * block_probes_;
    use(first, std::min(end, first + block_probes_), scratch->scores.data());
  }
}

void FeatureScorer::PrepareTile(const float* rows, int32_t count,
                                TileScratch* scratch) const {
  scratch->rows.resize(size_t(tile_rows_) * dim_);
  scratch->norms.resize(tile_rows_);
  for (int32_t r = 0; r < count; ++r) {
    PrepareRow(metric_, rows + size_t(r) * dim_, dim_,
               &scratch->rows[size_t(r) * dim_], &scratch->norms[r]);
  }
  std::fill(scratch->rows.begin() + size_t(count) * dim_, scratch->rows.end(),
            0.0f);
  std::fill(scratch->norms.begin() + count, scratch->norms.end(), 0.0);
}

void FeatureScorer::ScoreBlock(int32_t block, TileScratch* scratch) const {
  scratch->scores.resize(size_t(block_probes_) * tile_rows_);
  const float* probes = &prepared_[size_t(block) * block_probes_ * dim_];
  // The one shape of every product: block_probes x tile_rows x dim.
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, block_probes_,
              tile_rows_, dim_, 1.0f, probes, dim_, scratch->rows.data(), dim_,
              0.0f, scratch->scores.data(), tile_rows_);
  if (metric_ != Metric::kL2) return;
  const double* probe_norms = &probe_norms_[size_t(block) * block_probes_];
  for (int32_t i = 0; i < block_probes_; ++i) {
    float* out = &scratch->scores[size_t(i) * tile_rows_];
    for (int32_t j = 0; j < tile_rows_; ++j) {
      double squared = probe_norms[i] + scratch->norms[j] - 2.0 * out[j];
      if (std::isnan(squared)) {
        out[j] = static_cast<float>(squared);
      } else {
        // Rows at no distance score 0, not -0.
        out[j] = squared > 0 ? -static_cast<float>(std::sqrt(squared)) : 0.0f;
      }
    }
  }
}

cv::Mat FeatureScorer::ScoreMatrix(const cv::Mat& others) const {
  cv::Mat scores(probes_, others.rows, CV_32FC1);
  tbb::enumerable_thread_specific<TileScratch> scratches;
  const int32_t tiles = (others.rows + tile_rows_ - 1) / tile_rows_;
  tbb::parallel_for(tbb::blocked_range<int32_t>(0, tiles, 1),
                    MatrixTiles{*this, others, &scratches, &scores});
  return scores;
}
