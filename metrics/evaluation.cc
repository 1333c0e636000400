#include "metrics/evaluation.h"

#include <algorithm>

#include "metrics/identification.h"
#include "metrics/roc.h"
#include "metrics/traditional_cmc.h"

void Evaluate(const EvaluationInputs& in, const ScoreCounts& counts,
              Evaluation* out) {
  *out = Evaluation();
  OperatingPointFacts& facts = out->facts;
  out->traditional_slots = RankTraditionalCMC(
      in.subject_map, in.probe_names, in.probe_scores,
      static_cast<size_t>(in.distractor_rows), in.num_distractors, counts,
      kTrialCount, &out->traditional_cmc, &facts.traditional_ranks);
  facts.traditional_slots = out->traditional_slots;
  AssembleMatchReport(in.subject_map, in.probe_scores, in.probe_count, counts,
                      &out->matches);
  out->rank1 = AppendIdentificationCMC(out->matches.mate_ranks,
                                       in.num_distractors, &out->cmc);
  facts.impostor_count =
      int64_t{ImpostorRows(in.distractor_rows)} * in.num_distractors;
  facts.genuine_beaten_by =
      GenuineBeatenBy(in.subject_map, in.probe_scores, counts);
  std::sort(facts.genuine_beaten_by.begin(), facts.genuine_beaten_by.end());
  AppendROCCurveFromCounts(facts.genuine_beaten_by, facts.impostor_count,
                           &out->roc);
  facts.probes = in.probe_count;
  facts.subjects = static_cast<int64_t>(in.subject_map.size());
  facts.distractors = in.num_distractors;
  facts.mate_ranks = SortedMateRanks(out->matches.mate_ranks);
}

ScoreQuestions RecordQuestions(const EvaluationInputs& in) {
  ScoreQuestions questions;
  questions.top_distractors.resize(in.probe_count, false);
  Evaluation unused;
  Evaluate(in, QuestionRecorder(&questions), &unused);
  return questions;
}
