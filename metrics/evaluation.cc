#include "metrics/evaluation.h"

#include <algorithm>

#include "metrics/identification.h"
#include "metrics/roc.h"
#include "metrics/traditional_cmc.h"

namespace {

// EvaluateInto is Evaluate; with `assemble` false it asks every question
// but builds nothing from the answers (no curve, no fact), which is all a
// recording of the questions needs.
void EvaluateInto(const EvaluationInputs& in, const ScoreCounts& counts,
                  bool assemble, Evaluation* out) {
  *out = Evaluation();
  OperatingPointFacts& facts = out->facts;
  const bool keep_facts = assemble && in.operating_point_facts;
  out->traditional_slots = RankTraditionalCMC(
      in.subject_map, in.probe_names, in.probe_scores,
      static_cast<size_t>(in.distractor_rows), in.num_distractors, counts,
      kTrialCount, assemble ? &out->traditional_cmc : nullptr,
      keep_facts ? &facts.traditional_ranks : nullptr);
  AssembleMatchReport(in.subject_map, in.probe_scores, in.probe_count, counts,
                      &out->matches);
  std::vector<int64_t> beaten_by =
      GenuineBeatenBy(in.subject_map, in.probe_scores, counts);
  if (!assemble) return;
  out->rank1 = AppendIdentificationCMC(out->matches.mate_ranks,
                                       in.num_distractors, &out->cmc);
  const int64_t impostor_count =
      int64_t{ImpostorRows(in.distractor_rows)} * in.num_distractors;
  if (!keep_facts) {
    AppendROCCurveFromCounts(std::move(beaten_by), impostor_count, &out->roc);
    return;
  }
  std::sort(beaten_by.begin(), beaten_by.end());
  AppendROCCurveFromCounts(beaten_by, impostor_count, &out->roc);
  facts.traditional_slots = out->traditional_slots;
  facts.impostor_count = impostor_count;
  facts.genuine_beaten_by = std::move(beaten_by);
  facts.probes = in.probe_count;
  facts.subjects = static_cast<int64_t>(in.subject_map.size());
  facts.distractors = in.num_distractors;
  facts.mate_ranks = SortedMateRanks(out->matches.mate_ranks);
}

}  // namespace

void Evaluate(const EvaluationInputs& in, const ScoreCounts& counts,
              Evaluation* out) {
  EvaluateInto(in, counts, true, out);
}

ScoreQuestions RecordQuestions(const EvaluationInputs& in) {
  ScoreQuestions questions;
  questions.top_distractors.resize(in.probe_count, false);
  Evaluation unused;
  EvaluateInto(in, QuestionRecorder(&questions), false, &unused);
  return questions;
}
