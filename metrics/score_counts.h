// The one narrow interface through which the curves ask about the
// distractor scores, and the recorder that turns the curve code into the
// list of questions a pass over the scores must answer.
//
// A score beats another iff it compares strictly greater as a float, so a
// NaN beats nothing and nothing beats a NaN.
//
// Every function that asks through ScoreCounts asks the same questions in
// the same order whatever the answers are (of answers that may be asked
// concurrently, each series of questions keeps its order). That is what
// makes a plan recorded once with QuestionRecorder complete: the run that
// asks again, against the real answers, asks nothing the recording did
// not.
#ifndef FUSE_RESULTS_METRICS_SCORE_COUNTS_H_
#define FUSE_RESULTS_METRICS_SCORE_COUNTS_H_

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "metrics/top_distractors.h"

class ScoreCounts {
 public:
  virtual ~ScoreCounts() = default;

  // DistractorsBeating returns how many of the distractor scores in use of
  // probe `probe` (the first num_distractors of its row) beat `score`.
  virtual int64_t DistractorsBeating(int32_t probe, float score) const = 0;

  // ImpostorsBeating returns how many impostor scores (every score in use
  // of the impostor rows) beat `score`.
  virtual int64_t ImpostorsBeating(float score) const = 0;

  // TopDistractors appends to `*best` the best min(kTopDistractorCount,
  // num_distractors) distractors of probe `probe`, best first.
  virtual void TopDistractors(int32_t probe, TopDistractorList* best) const = 0;

  // ImpostorsBeatingEach replaces `*beaten_by` with ImpostorsBeating(s) for
  // every score s of `scores`, in order: the same questions, asked in the
  // same order. Answers that can walk many sorted scores at once override
  // it.
  virtual void ImpostorsBeatingEach(const std::vector<float>& scores,
                                    std::vector<int64_t>* beaten_by) const;

  // DistractorsBeatingEach sets beaten_by[i] to DistractorsBeating(probe,
  // scores[i]) for every i < count, asking in order, as ImpostorsBeatingEach
  // does.
  virtual void DistractorsBeatingEach(int32_t probe, const float* scores,
                                      size_t count, int64_t* beaten_by) const;

  // AnswersConcurrently returns true iff the methods above may be called
  // from several threads at once. Callers may then ask independent series
  // of questions on several threads: each series keeps its order, but the
  // series interleave.
  virtual bool AnswersConcurrently() const { return false; }
};

// The questions asked of a ScoreCounts, in the order they were asked.
struct ScoreQuestions {
  // The (probe, score) pairs given to DistractorsBeating. One flat list,
  // not a list per probe: recording then leaves no scattered small blocks
  // behind in the heap.
  std::vector<std::pair<int32_t, float>> probe_scores;
  // The scores given to ImpostorsBeating.
  std::vector<float> impostor_scores;
  // top_distractors[p]: whether TopDistractors was asked for probe p.
  std::vector<bool> top_distractors;
};

// QuestionRecorder answers every question with nothing (no score beats,
// no best distractor) and records it in the ScoreQuestions it was given,
// which must outlive it.
class QuestionRecorder : public ScoreCounts {
 public:
  explicit QuestionRecorder(ScoreQuestions* questions)
      : questions_(questions) {}

  int64_t DistractorsBeating(int32_t probe, float score) const override;
  int64_t ImpostorsBeating(float score) const override;
  void TopDistractors(int32_t probe, TopDistractorList* best) const override;

 private:
  ScoreQuestions* questions_;
};

#endif  // FUSE_RESULTS_METRICS_SCORE_COUNTS_H_
