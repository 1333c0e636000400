// The single pass over the distractor scores. Every question the evaluation
// asks of them is recorded before the first score is read (RecordQuestions);
// the pass answers all of them while the matrix streams by, one linear scan
// per row and nothing sorted, so memory does not grow with the number of
// distractors:
// - per probe row, its best distractors and how many of its scores beat
//   each of the scores asked about that probe;
// - over the impostor rows, how many scores beat each score asked about
//   the impostors.
// The answers of any split of the rows into pieces merge exactly (counts
// add, best distractors merge), so they do not depend on the threads.
#ifndef FUSE_RESULTS_DRIVER_SCORE_PASS_H_
#define FUSE_RESULTS_DRIVER_SCORE_PASS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "matio/mat_stream.h"
#include "metrics/score_counts.h"
#include "metrics/top_distractors.h"

// What the pass is asked. Thresholds are sorted ascending, distinct, and
// hold no NaN (a NaN is beaten by no score, so it needs no question).
struct PassPlan {
  int32_t num_distractors = 0;  // Leading columns used of every row.
  int32_t probe_rows = 0;       // Rows 0 .. probe_rows - 1 are probes.
  int32_t impostor_rows = 0;    // Rows 0 .. impostor_rows - 1 are impostors.
  int32_t top_count = 0;        // Best distractors recorded per probe.
  std::vector<std::vector<float>> probe_thresholds;  // One list per probe.
  std::vector<float> impostor_thresholds;
};

// What the pass found.
struct PassAnswers {
  // Per probe, its best min(top_count, num_distractors) distractors.
  TopDistractorLists top_distractors;
  // probe_counts[p][t]: scores of row p that beat probe_thresholds[p][t].
  std::vector<std::vector<int64_t>> probe_counts;
  // impostor_counts[t]: scores of the impostor rows that beat
  // impostor_thresholds[t].
  std::vector<int64_t> impostor_counts;
};

// PlanScorePass returns the plan that answers `questions` about the first
// `num_distractors` columns, with rows 0 .. impostor_rows - 1 as the
// impostor rows.
PassPlan PlanScorePass(ScoreQuestions questions, int32_t num_distractors,
                       int32_t impostor_rows);

// PassCounts answers the questions of the plan from the pass's answers.
// Both must outlive it. Only questions of the plan may be asked: a plan
// recorded from the same evaluation holds every one of them.
class PassCounts : public ScoreCounts {
 public:
  PassCounts(const PassPlan& plan, const PassAnswers& answers)
      : plan_(plan), answers_(answers) {}

  int64_t DistractorsBeating(int32_t probe, float score) const override;
  int64_t ImpostorsBeating(float score) const override;
  void TopDistractors(int32_t probe, TopDistractorList* best) const override;
  // Walks the sorted thresholds along the scores while these ascend, so
  // that the ascending genuine scores of an evaluation cost one merge, not
  // a search each.
  void ImpostorsBeatingEach(const std::vector<float>& scores,
                            std::vector<int64_t>* beaten_by) const override;
  // The same walk along the probe's thresholds.
  void DistractorsBeatingEach(int32_t probe, const float* scores, size_t count,
                              int64_t* beaten_by) const override;
  // Answers only read the plan and the answers.
  bool AnswersConcurrently() const override { return true; }

 private:
  const PassPlan& plan_;
  const PassAnswers& answers_;
};

// Pieces of the distractor matrix in flight during the single pass: 4 MiB
// in all. Measured on 2 cores against 8 pieces of 256 KiB, larger pieces
// spend less on handing pieces between the stages and on starting each
// row's scan, and made the pass 10% faster at 1,000,000 columns and 2.8 GB
// alike; three such pieces were slower than four.
constexpr int64_t kPieceFloats = int64_t{1} << 18;  // 1 MiB.
constexpr int kPiecesInFlight = 4;

// Progress of the pass: bytes of the data section consumed, and in all.
// It is told 0 once the pass is set up, just before its first read, then
// after each piece is consumed, and all when the last one is. Returns
// false to stop the pass early (another process failed, say); the pass
// then ends after the pieces in flight and fails with "stopped".
using PassProgress = std::function<bool(int64_t done, int64_t total)>;

// RunScorePass streams the selected part of `stream` (rows 0 ..
// max(probe_rows, impostor_rows) - 1, the first num_distractors columns)
// through parallel scans and fills `*answers`. Reads in pieces of
// `piece_floats` elements with at most `pieces_in_flight` pieces in memory.
// Returns false with `error` when the stream ends early or fails, or when
// `progress` stops the pass. The answers do not depend on the number of
// threads.
bool RunScorePass(const PassPlan& plan, MatRowStream* stream,
                  int64_t piece_floats, int pieces_in_flight,
                  const PassProgress& progress, PassAnswers* answers,
                  std::string* error);

// A piece of the pass: what the reading stage took in, and where in the
// distractor score matrix it belongs.
struct PassPiece {
  std::vector<float> values;         // Sized by the source.
  std::vector<RowSegment> segments;  // Runs of scores held in `values`.
  std::vector<DeferredRead> reads;   // Left by the reading stage to Scan.
  int64_t first = 0;                 // Source-defined: first row taken in.
  int64_t count = 0;                 // Source-defined: how many.
  int64_t bytes_done = 0;            // Input consumed up to this piece.
  bool failed = false;               // Scan failed, saying why in `error`.
  std::string error;
};

// ScoreSource feeds the pass with scores: read from a file, or computed.
// Read runs for one piece at a time, in order; Scan may run for several
// pieces at once, on any threads. What Read takes in may be only the
// layout of the piece, its input then taken in by Scan: the reading of a
// regular file is spread over the threads that way, each piece read by the
// thread that scans it, into its own cache.
class ScoreSource {
 public:
  virtual ~ScoreSource() = default;

  // Read takes in the next piece of input. Returns false with `error` when
  // the input fails; sets `*end` (and takes nothing) after the last piece.
  virtual bool Read(PassPiece* piece, bool* end, std::string* error) = 0;

  // Scan calls `scan` with every run of scores the piece stands for, each
  // run in one row; each call's runs stay valid during that call only.
  // Returns false with `error` when the piece's input fails; the pass then
  // fails with the error of the first such piece in reading order.
  virtual bool Scan(
      PassPiece* piece,
      const std::function<void(const std::vector<RowSegment>&)>& scan,
      std::string* error) = 0;

  // Input bytes in all, for the progress of the pass.
  virtual int64_t bytes_total() const = 0;
};

// RunScorePassFrom is RunScorePass with the scores of rows 0 ..
// max(probe_rows, impostor_rows) - 1 and columns 0 .. num_distractors - 1
// (or any share of them) delivered by `source`, with at most
// `pieces_in_flight` pieces in memory.
bool RunScorePassFrom(const PassPlan& plan, ScoreSource* source,
                      int pieces_in_flight, const PassProgress& progress,
                      PassAnswers* answers, std::string* error);

// RunScorePassOnShare is RunScorePass over one share of the columns:
// columns first_col .. min(end_col, num_distractors) - 1 of the same rows,
// read with positioned reads from a regular file (see
// MatRowStream::SelectColumns). Its answers count what the share holds,
// with top distractors by their column in the whole matrix and at most
// min(top_count, num_distractors) of them, so the answers of shares that
// split the columns merge into RunScorePass's answers: counts add, and the
// best distractors of the whole are the best of the shares' lists.
bool RunScorePassOnShare(const PassPlan& plan, int32_t first_col,
                         int32_t end_col, MatRowStream* stream,
                         int64_t piece_floats, int pieces_in_flight,
                         const PassProgress& progress, PassAnswers* answers,
                         std::string* error);

#endif  // FUSE_RESULTS_DRIVER_SCORE_PASS_H_
