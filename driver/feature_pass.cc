#include "driver/feature_pass.h"

#include <algorithm>
#include <cstring>

FeatureSource::FeatureSource(const FeatureScorer& scorer, MatRowStream* stream,
                             int32_t rows, int32_t first, int32_t end)
    : scorer_(scorer),
      stream_(stream),
      rows_(std::min(rows, scorer.probes())),
      next_(first),
      end_(end) {}

bool FeatureSource::Read(PassPiece* piece, bool* end, std::string* error) {
  const int32_t n = scorer_.tile_rows();
  const int64_t dim = scorer_.dim();
  const int32_t count = std::min(n, end_ - next_);
  piece->values.resize(static_cast<size_t>(n * dim));
  piece->first = next_;
  piece->count = count;
  // The stream delivers the selected rows in order, back to back.
  const int64_t wanted = count * dim;
  for (int64_t filled = 0; filled < wanted;) {
    if (!stream_->Next(piece->values.data() + filled, wanted - filled,
                       &delivered_, error)) {
      return false;
    }
    if (delivered_.empty()) {
      *error = "ends before the features of its last row";
      return false;
    }
    for (const RowSegment& segment : delivered_) filled += segment.count;
  }
  if (count == 0) {
    // Past the last row: the stream makes sure the file is whole.
    if (!stream_->Next(piece->values.data(), 1, &delivered_, error)) {
      return false;
    }
    *end = true;
    return true;
  }
  next_ += count;
  piece->bytes_done = stream_->bytes_done();
  return true;
}

bool FeatureSource::Scan(
    PassPiece* piece,
    const std::function<void(const std::vector<RowSegment>&)>& scan,
    std::string* /*error*/) {
  const int32_t n = scorer_.tile_rows();
  const int32_t count = static_cast<int32_t>(piece->count);
  std::vector<RowSegment> segments;
  scorer_.ScoreTile(
      piece->values.data(), count, rows_, &scratches_.local(),
      [&](int32_t p0, int32_t p1, const float* scores) {
        segments.clear();
        for (int32_t p = p0; p < p1; ++p) {
          segments.push_back({p, static_cast<int32_t>(piece->first), count,
                              scores + size_t(p - p0) * n});
        }
        scan(segments);
      });
  return true;
}
