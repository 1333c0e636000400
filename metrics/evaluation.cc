#include "metrics/evaluation.h"

#include "metrics/identification.h"
#include "metrics/roc.h"
#include "metrics/traditional_cmc.h"

void Evaluate(const EvaluationInputs& in, const ScoreCounts& counts,
              Evaluation* out) {
  *out = Evaluation();
  out->traditional_slots = RankTraditionalCMC(
      in.subject_map, in.probe_names, in.probe_scores,
      static_cast<size_t>(in.distractor_rows), in.num_distractors, counts,
      kTrialCount, &out->traditional_cmc);
  AssembleMatchReport(in.subject_map, in.probe_scores, in.probe_count, counts,
                      &out->matches);
  out->rank1 = AppendIdentificationCMC(out->matches.mate_ranks,
                                       in.num_distractors, &out->cmc);
  const int64_t impostor_count =
      int64_t{ImpostorRows(in.distractor_rows)} * in.num_distractors;
  AssembleROC(in.subject_map, in.probe_scores, impostor_count, counts,
              &out->roc);
}

ScoreQuestions RecordQuestions(const EvaluationInputs& in) {
  ScoreQuestions questions;
  questions.top_distractors.resize(in.probe_count, false);
  Evaluation unused;
  Evaluate(in, QuestionRecorder(&questions), &unused);
  return questions;
}
