// What the ranks of an MPI run exchange, as plain values: the split of the
// columns into shares, the plan rank 0 sends to every rank, and the
// answers every rank sends back. Nothing here calls MPI, so the wire
// formats are tested without it; fuse_results_mpi.cc moves them.
//
// Ranks never exchange rows of scores: only the plan (the scores each count
// is asked about), counts that add and best-distractor records that merge.
#ifndef FUSE_RESULTS_MPI_SHARE_EXCHANGE_H_
#define FUSE_RESULTS_MPI_SHARE_EXCHANGE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "driver/score_pass.h"
#include "features/feature_scores.h"
#include "matio/mat_io.h"

// ColumnShare sets [*first, *end) to the columns of `columns` that rank
// `rank` of `ranks` reads: consecutive ranges in rank order, covering every
// column once, their widths differing by at most one. Ranks beyond the
// column count get an empty range.
void ColumnShare(int32_t columns, int ranks, int rank, int32_t* first,
                 int32_t* end);

// What rank 0 sends before the pass: the distractor file as rank 0 opened
// it and the plan every rank scans its share for; with features, also the
// probes' features and the metric, from which every rank computes the
// scores of its share bit for bit as rank 0 would.
struct PassOrder {
  std::string path;
  MatHeader header;  // rows, cols, type, step as rank 0 read them.
  PassPlan plan;
  bool features = false;
  Metric metric = Metric::kCosine;
  cv::Mat probe_features;  // CV_32FC1, with features.
};

// TileShare sets [*first, *end) to the distractors of `distractors` whose
// feature rows rank `rank` of `ranks` scores: whole tiles of
// `tile_rows` rows, split as ColumnShare splits columns, so
// that every distractor keeps its place in its tile.
void TileShare(int32_t distractors, int32_t tile_rows, int ranks, int rank,
               int32_t* first, int32_t* end);

// PackPassOrder returns the bytes of `order`; UnpackPassOrder reads them
// back, returning false when `bytes` are not what PackPassOrder wrote.
std::vector<char> PackPassOrder(const PassOrder& order);
bool UnpackPassOrder(const std::vector<char>& bytes, PassOrder* order);

// The counts of a share's answers, in one array that adds element by
// element across ranks: every probe's counts in probe order, then the
// impostor counts, then `changed_values` (float64 values of .npy files
// that changed on becoming float32).
std::vector<int64_t> FlattenCounts(const PassAnswers& answers,
                                   int64_t changed_values);
// UnflattenCounts sets the counts of `*answers` (sized for `plan`) and
// `*changed_values` from the sum of FlattenCounts arrays.
void UnflattenCounts(const PassPlan& plan, const std::vector<int64_t>& flat,
                     PassAnswers* answers, int64_t* changed_values);

// A probe's best distractors as a fixed-size record of int32 values:
// [size, capacity, then (index, score bits) pairs], so that a reduction
// over ranks merges records pairwise.
inline constexpr int kTopRecordInts = 2 + 2 * kMaxBestDistractors;

// PackTopRecords returns one record per probe of `answers`, with capacity
// min(top_count, num_distractors) of `plan`.
std::vector<int32_t> PackTopRecords(const PassPlan& plan,
                                    const PassAnswers& answers);

// MergeTopRecords merges `count` records of `in` into those of `inout`,
// record by record: the best `capacity` of both, in the one order of
// best distractors. Merging in any order and grouping gives the same
// records.
void MergeTopRecords(const int32_t* in, int32_t* inout, int64_t count);

// UnpackTopRecords sets the best distractors of `*answers` from one record
// per probe.
void UnpackTopRecords(const std::vector<int32_t>& records,
                      PassAnswers* answers);

#endif  // FUSE_RESULTS_MPI_SHARE_EXCHANGE_H_
