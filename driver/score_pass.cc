#include "driver/score_pass.h"

#include "driver/row_scan.h"
#include "driver/tsan_hand_over.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <limits>
#include <stdexcept>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_pipeline.h>

namespace {

// Where each probe's counters live in the flat per-thread histogram: probe
// p with m thresholds owns m + 1 slots, slot k counting the scores that
// beat exactly its k lowest thresholds.
std::vector<size_t> HistogramOffsets(const PassPlan& plan) {
  std::vector<size_t> offsets(plan.probe_thresholds.size() + 1, 0);
  for (size_t p = 0; p < plan.probe_thresholds.size(); ++p) {
    offsets[p + 1] = offsets[p] + plan.probe_thresholds[p].size() + 1;
  }
  return offsets;
}

// What one thread has seen of the rows it scanned.
struct ThreadTally {
  std::vector<BestDistractors> best;
  ThresholdLocator locator;  // Scratch for the probe rows.
  std::vector<int64_t> probe_histogram;
  std::vector<int64_t> impostor_histogram;
};

// Suffix sums: counts[t] = scores beating threshold t = scores in slots
// above t.
std::vector<int64_t> CountsFromHistogram(const int64_t* histogram,
                                         size_t thresholds) {
  std::vector<int64_t> counts(thresholds, 0);
  int64_t above = 0;
  for (size_t t = thresholds; t-- > 0;) {
    above += histogram[t + 1];
    counts[t] = above;
  }
  return counts;
}

// RunScanner scans runs of scores into one thread's tally.
struct RunScanner {
  const PassPlan& plan;
  const std::vector<size_t>& offsets;
  const ThresholdLocator& impostor_locator;
  float lowest_impostor_threshold;
  int32_t top_count;
  ThreadTally* tally;

  void operator()(const std::vector<RowSegment>& segments) const {
    for (const RowSegment& segment : segments) {
      const size_t row = static_cast<size_t>(segment.row);
      if (segment.row < plan.probe_rows) {
        const std::vector<float>& thresholds = plan.probe_thresholds[row];
        ScanProbeScores(
            segment.values, segment.count, segment.first_col, thresholds.data(),
            static_cast<int32_t>(thresholds.size()), top_count,
            &tally->best[row], tally->probe_histogram.data() + offsets[row],
            &tally->locator);
      }
      if (segment.row < plan.impostor_rows) {
        ScanImpostorScores(segment.values, segment.count, impostor_locator,
                           lowest_impostor_threshold,
                           tally->impostor_histogram.data());
      }
    }
  }
};

// The source of a pass over a matrix file: pieces read by the stream, runs
// as the stream delivers them. From a regular file of float32 values stored
// row by row, the reading stage only lays a piece out and the scanning
// stage reads it, so that both threads read and each scans what it just
// read; anything else is read by the reading stage, in order.
class StreamSource : public ScoreSource {
 public:
  StreamSource(MatRowStream* stream, int64_t piece_floats)
      : stream_(stream),
        piece_floats_(piece_floats),
        defer_(stream->CanDeferReads()) {}

  bool Read(PassPiece* piece, bool* end, std::string* error) override {
    piece->values.resize(static_cast<size_t>(piece_floats_));
    const bool read =
        defer_ ? stream_->Next(piece->values.data(), piece_floats_,
                               &piece->segments, &piece->reads, error)
               : stream_->Next(piece->values.data(), piece_floats_,
                               &piece->segments, error);
    if (!read) return false;
    *end = piece->segments.empty();
    piece->bytes_done = stream_->bytes_done();
    return true;
  }

  bool Scan(PassPiece* piece,
            const std::function<void(const std::vector<RowSegment>&)>& scan,
            std::string* error) override {
    for (const DeferredRead& read : piece->reads) {
      if (!stream_->ReadDeferred(read, error)) return false;
    }
    scan(piece->segments);
    return true;
  }

  int64_t bytes_total() const override { return stream_->bytes_total(); }

 private:
  MatRowStream* stream_;
  int64_t piece_floats_;
  bool defer_;
};

// SortedThresholds returns `scores` sorted ascending without NaNs and
// repeats (-0 and +0 are one threshold: the same scores beat both).
// Questions often come in ascending order, all of them (the genuine
// scores of the ROC) or all but a few first ones (a probe's mate scores
// after its traditional ranks): only the part before the list's last
// ascending run is sorted, and then merged with it.
std::vector<float> SortedThresholds(std::vector<float> scores) {
  scores.erase(std::remove_if(scores.begin(), scores.end(),
                              [](float x) { return std::isnan(x); }),
               scores.end());
  // The last ascending run is [run, end).
  auto run = scores.end();
  if (run != scores.begin()) --run;
  while (run != scores.begin() && !(*run < run[-1])) --run;
  if (run != scores.begin()) {
    std::sort(scores.begin(), run);
    std::inplace_merge(scores.begin(), run, scores.end());
  }
  scores.erase(std::unique(scores.begin(), scores.end()), scores.end());
  return scores;
}

// SortThresholdLists is the body of the parallel loop that sorts the
// plan's lists with SortedThresholds: item 0 is the impostors' list, item
// p + 1 probe p's. A named type, so that the race checker's reports can
// name the loop's tasks.
struct SortThresholdLists {
  PassPlan* plan;

  void operator()(const tbb::blocked_range<size_t>& range) const {
    for (size_t i = range.begin(); i != range.end(); ++i) {
      std::vector<float>& list =
          i == 0 ? plan->impostor_thresholds : plan->probe_thresholds[i - 1];
      list = SortedThresholds(std::move(list));
    }
  }
};

// CountBeating returns how many scores beat `score` by the answers
// `counts` for `thresholds`: 0 for NaN, which nothing beats. A score of
// the plan is one of the thresholds, so the lower bound finds it.
int64_t CountBeating(const std::vector<float>& thresholds,
                     const std::vector<int64_t>& counts, float score) {
  if (std::isnan(score)) return 0;
  const size_t t =
      std::lower_bound(thresholds.begin(), thresholds.end(), score) -
      thresholds.begin();
  assert(t < thresholds.size() && thresholds[t] == score);
  return counts[t];
}

// CountEachBeating sets beaten_by[i] to CountBeating(thresholds, counts,
// scores[i]) for i < n: a short walk from the last score's threshold while
// the scores ascend, a search when the walk grows long or they step down.
void CountEachBeating(const std::vector<float>& thresholds,
                      const std::vector<int64_t>& counts, const float* scores,
                      size_t n, int64_t* beaten_by) {
  constexpr int kWalk = 8;
  size_t t = 0;
  float last = -std::numeric_limits<float>::infinity();
  for (size_t i = 0; i < n; ++i) {
    const float score = scores[i];
    if (std::isnan(score)) {
      beaten_by[i] = 0;
      continue;
    }
    if (score < last) {
      t = std::lower_bound(thresholds.begin(), thresholds.begin() + t, score) -
          thresholds.begin();
    } else {
      int walked = 0;
      while (t < thresholds.size() && thresholds[t] < score && ++walked < kWalk)
        ++t;
      if (walked == kWalk) {
        t = std::lower_bound(thresholds.begin() + t, thresholds.end(), score) -
            thresholds.begin();
      }
    }
    last = score;
    assert(t < thresholds.size() && thresholds[t] == score);
    beaten_by[i] = counts[t];
  }
}

}  // namespace

PassPlan PlanScorePass(ScoreQuestions questions, int32_t num_distractors,
                       int32_t impostor_rows) {
  PassPlan plan;
  plan.num_distractors = num_distractors;
  plan.impostor_rows = impostor_rows;
  size_t probes = questions.top_distractors.size();
  for (const auto& [probe, score] : questions.probe_scores) {
    probes = std::max(probes, static_cast<size_t>(probe) + 1);
  }
  plan.probe_rows = static_cast<int32_t>(probes);
  const bool any_top = std::find(questions.top_distractors.begin(),
                                 questions.top_distractors.end(),
                                 true) != questions.top_distractors.end();
  plan.top_count = any_top ? kTopDistractorCount : 0;
  // Each probe's list is allocated once, at its size.
  std::vector<size_t> counts(probes, 0);
  for (const auto& question : questions.probe_scores) ++counts[question.first];
  plan.probe_thresholds.resize(probes);
  for (size_t p = 0; p < probes; ++p)
    plan.probe_thresholds[p].reserve(counts[p]);
  for (const auto& [probe, score] : questions.probe_scores) {
    plan.probe_thresholds[probe].push_back(score);
  }
  questions.probe_scores = {};
  plan.impostor_thresholds = std::move(questions.impostor_scores);
  // The impostors' list, about as long as all the probes' together, is
  // item 0: one thread sorts it while the others sort the probes' lists.
  tbb::parallel_for(tbb::blocked_range<size_t>(0, probes + 1, 16),
                    SortThresholdLists{&plan});
  return plan;
}

int64_t PassCounts::DistractorsBeating(int32_t probe, float score) const {
  return CountBeating(plan_.probe_thresholds[probe],
                      answers_.probe_counts[probe], score);
}

int64_t PassCounts::ImpostorsBeating(float score) const {
  return CountBeating(plan_.impostor_thresholds, answers_.impostor_counts,
                      score);
}

void PassCounts::ImpostorsBeatingEach(const std::vector<float>& scores,
                                      std::vector<int64_t>* beaten_by) const {
  beaten_by->resize(scores.size());
  CountEachBeating(plan_.impostor_thresholds, answers_.impostor_counts,
                   scores.data(), scores.size(), beaten_by->data());
}

void PassCounts::DistractorsBeatingEach(int32_t probe, const float* scores,
                                        size_t count,
                                        int64_t* beaten_by) const {
  CountEachBeating(plan_.probe_thresholds[probe], answers_.probe_counts[probe],
                   scores, count, beaten_by);
}

void PassCounts::TopDistractors(int32_t probe, TopDistractorList* best) const {
  const TopDistractorList& found = answers_.top_distractors[probe];
  best->insert(best->end(), found.begin(), found.end());
}

bool RunScorePass(const PassPlan& plan, MatRowStream* stream,
                  int64_t piece_floats, int pieces_in_flight,
                  const PassProgress& progress, PassAnswers* answers,
                  std::string* error) {
  stream->Select(std::max(plan.probe_rows, plan.impostor_rows),
                 plan.num_distractors);
  StreamSource source(stream, piece_floats);
  return RunScorePassFrom(plan, &source, pieces_in_flight, progress, answers,
                          error);
}

bool RunScorePassOnShare(const PassPlan& plan, int32_t first_col,
                         int32_t end_col, MatRowStream* stream,
                         int64_t piece_floats, int pieces_in_flight,
                         const PassProgress& progress, PassAnswers* answers,
                         std::string* error) {
  stream->SelectColumns(std::max(plan.probe_rows, plan.impostor_rows),
                        first_col, std::min(end_col, plan.num_distractors));
  StreamSource source(stream, piece_floats);
  return RunScorePassFrom(plan, &source, pieces_in_flight, progress, answers,
                          error);
}

bool RunScorePassFrom(const PassPlan& plan, ScoreSource* source,
                      int pieces_in_flight, const PassProgress& progress,
                      PassAnswers* answers, std::string* error) {
  if (plan.top_count > kMaxBestDistractors) {
    throw std::invalid_argument("score pass: too many best distractors");
  }
  const int32_t top_count = std::min(plan.top_count, plan.num_distractors);
  const size_t probes = plan.probe_thresholds.size();
  const std::vector<size_t> offsets = HistogramOffsets(plan);
  const std::vector<float>& impostor = plan.impostor_thresholds;
  ThresholdLocator locator;
  locator.Build(impostor.data(), static_cast<int32_t>(impostor.size()));
  const float lowest_impostor_threshold =
      impostor.empty() ? std::numeric_limits<float>::infinity() : impostor[0];

  tbb::enumerable_thread_specific<ThreadTally> tallies([&] {
    ThreadTally tally;
    tally.best.resize(probes);
    tally.probe_histogram.assign(offsets.back(), 0);
    tally.impostor_histogram.assign(impostor.size() + 1, 0);
    return tally;
  });

  std::vector<PassPiece> ring(
      static_cast<size_t>(std::max(pieces_in_flight, 1)));
  size_t next_piece = 0;
  bool read_failed = false;  // The reading stage's; its error is in *error.
  // The last stage's: the first piece, in reading order, whose input
  // failed, or progress that stopped the pass.
  bool scan_failed = false;
  std::string scan_error;
  bool progress_stopped = false;
  // Set by the last stage, read by the reading stage.
  std::atomic<bool> halt{false};

  // The last stage runs in order, so a piece is back in the ring before its
  // slot comes round again: at most ring.size() pieces are ever live. Each
  // stage takes over what the one before handed over: the reading stage
  // its stream from its last call, every stage its piece, the last stage
  // its own state; the code after the pipeline all of it (`finished`).
  // Every stage first takes over what was set up before the pipeline,
  // through a token it can reach without touching its captures.
  const int reading = 0, reporting = 0, finished = 0;
  const auto stages =
      tbb::make_filter<void, PassPiece*>(
          tbb::filter_mode::serial_in_order,
          [&](tbb::flow_control& control) -> PassPiece* {
            TakeOver(&kPipelineSetUp);
            TakeOver(&reading);
            PassPiece* piece = &ring[next_piece++ % ring.size()];
            TakeOver(piece);
            bool end = false;
            if (halt.load(std::memory_order_relaxed) || read_failed) {
              end = true;
            } else if (!source->Read(piece, &end, error)) {
              read_failed = true;
              end = true;
            }
            if (end) {
              control.stop();
              piece = nullptr;
            } else {
              HandOver(piece);
            }
            HandOver(&reading);
            HandOver(&finished);
            return piece;
          }) &
      tbb::make_filter<PassPiece*, PassPiece*>(
          tbb::filter_mode::parallel,
          [&](PassPiece* piece) {
            TakeOver(&kPipelineSetUp);
            TakeOver(piece);
            piece->failed = !source->Scan(
                piece,
                RunScanner{plan, offsets, locator, lowest_impostor_threshold,
                           top_count, &tallies.local()},
                &piece->error);
            HandOver(piece);
            HandOver(&finished);
            return piece;
          }) &
      tbb::make_filter<PassPiece*, void>(
          tbb::filter_mode::serial_in_order, [&](PassPiece* piece) {
            TakeOver(&kPipelineSetUp);
            TakeOver(&reporting);
            TakeOver(piece);
            if (!scan_failed && !progress_stopped) {
              if (piece->failed) {
                scan_failed = true;
                scan_error = piece->error;
                halt.store(true, std::memory_order_relaxed);
              } else if (progress &&
                         !progress(piece->bytes_done, source->bytes_total())) {
                progress_stopped = true;
                halt.store(true, std::memory_order_relaxed);
              }
            }
            HandOver(piece);  // Back in the ring, for the reading stage.
            HandOver(&reporting);
            HandOver(&finished);
          });
  if (progress && !progress(0, source->bytes_total())) {
    *error = "stopped";
    return false;
  }
  HandOver(&kPipelineSetUp);
  tbb::parallel_pipeline(ring.size(), stages);
  TakeOver(&finished);
  // A piece whose input failed comes before any piece the reading stage
  // could not take in.
  if (scan_failed) {
    *error = scan_error;
    return false;
  }
  if (read_failed) return false;
  if (progress_stopped ||
      (progress && !progress(source->bytes_total(), source->bytes_total()))) {
    *error = "stopped";
    return false;
  }

  // What only the scans used goes back to the heap first, and each tally
  // as soon as it is merged, so that the answers below take memory the
  // pass used instead of fresh pages (each fresh page a fault, and on a
  // virtual machine perhaps one the host must back: the answers took 2 to
  // 10 ms that way at 3,500 probes).
  ring = {};
  locator = ThresholdLocator();
  // Merge what the threads saw into the first thread's tally, which is
  // already in memory (a fresh total would be as large, and new pages).
  // Sums and the best of a union do not depend on how the rows were split
  // between threads.
  ThreadTally* merged = nullptr;
  for (ThreadTally& tally : tallies) {
    if (merged == nullptr) {
      merged = &tally;
      continue;
    }
    for (size_t i = 0; i < merged->probe_histogram.size(); ++i) {
      merged->probe_histogram[i] += tally.probe_histogram[i];
    }
    for (size_t i = 0; i < merged->impostor_histogram.size(); ++i) {
      merged->impostor_histogram[i] += tally.impostor_histogram[i];
    }
    for (size_t p = 0; p < probes; ++p) {
      merged->best[p].Merge(tally.best[p], top_count);
    }
    tally = ThreadTally();
  }
  if (merged == nullptr) merged = &tallies.local();  // Nothing was scanned.
  const std::vector<int64_t>& probe_histogram = merged->probe_histogram;
  const std::vector<int64_t>& impostor_histogram = merged->impostor_histogram;
  const std::vector<BestDistractors>& best = merged->best;
  answers->top_distractors.assign(probes, {});
  answers->probe_counts.assign(probes, {});
  for (size_t p = 0; p < probes; ++p) {
    best[p].AppendTo(&answers->top_distractors[p]);
    answers->probe_counts[p] = CountsFromHistogram(
        probe_histogram.data() + offsets[p], plan.probe_thresholds[p].size());
  }
  answers->impostor_counts =
      CountsFromHistogram(impostor_histogram.data(), impostor.size());
  return true;
}
