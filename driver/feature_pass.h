// The pass over scores computed from features: the distractors' feature
// rows are read once, in order, a tile of them at a time; each tile is
// scored against every probe block by block, and each block of scores is
// scanned while it is still in the cache, then dropped. No score is stored.
#ifndef FUSE_RESULTS_DRIVER_FEATURE_PASS_H_
#define FUSE_RESULTS_DRIVER_FEATURE_PASS_H_

#include <cstdint>
#include <string>

#include <tbb/enumerable_thread_specific.h>

#include "driver/score_pass.h"
#include "features/feature_scores.h"
#include "matio/mat_stream.h"

// FeatureSource delivers the distractor scores of rows 0 .. rows - 1 (probe
// rows) against the distractors first .. end - 1, whose feature rows
// `stream` delivers, selected already, in row order (a matrix file or a
// C-order .npy file). `first` must be a multiple of
// scorer.tile_rows(), so that every distractor keeps its place in
// its tile. The scorer and the stream must outlive the source.
class FeatureSource : public ScoreSource {
 public:
  FeatureSource(const FeatureScorer& scorer, MatRowStream* stream, int32_t rows,
                int32_t first, int32_t end);

  bool Read(PassPiece* piece, bool* end, std::string* error) override;
  bool Scan(PassPiece* piece,
            const std::function<void(const std::vector<RowSegment>&)>& scan,
            std::string* error) override;
  int64_t bytes_total() const override { return stream_->bytes_total(); }

 private:
  const FeatureScorer& scorer_;
  MatRowStream* stream_;
  int32_t rows_;
  int32_t next_;  // The next distractor to read.
  int32_t end_;
  tbb::enumerable_thread_specific<TileScratch> scratches_;
  std::vector<RowSegment> delivered_;  // Scratch of Read.
};

#endif  // FUSE_RESULTS_DRIVER_FEATURE_PASS_H_
