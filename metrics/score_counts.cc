#include "metrics/score_counts.h"

namespace {

// Grows `*list` so that `index` is a valid position.
template <typename T>
void Reach(std::vector<T>* list, int32_t index) {
  if (static_cast<size_t>(index) >= list->size()) list->resize(index + 1);
}

}  // namespace

void ScoreCounts::ImpostorsBeatingEach(const std::vector<float>& scores,
                                       std::vector<int64_t>* beaten_by) const {
  beaten_by->clear();
  beaten_by->reserve(scores.size());
  for (const float score : scores) {
    beaten_by->push_back(ImpostorsBeating(score));
  }
}

void ScoreCounts::DistractorsBeatingEach(int32_t probe, const float* scores,
                                         size_t count,
                                         int64_t* beaten_by) const {
  for (size_t i = 0; i < count; ++i) {
    beaten_by[i] = DistractorsBeating(probe, scores[i]);
  }
}

int64_t QuestionRecorder::DistractorsBeating(int32_t probe, float score) const {
  questions_->probe_scores.emplace_back(probe, score);
  return 0;
}

int64_t QuestionRecorder::ImpostorsBeating(float score) const {
  questions_->impostor_scores.push_back(score);
  return 0;
}

void QuestionRecorder::TopDistractors(int32_t probe, TopDistractorList*) const {
  Reach(&questions_->top_distractors, probe);
  questions_->top_distractors[probe] = true;
}
