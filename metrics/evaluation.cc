#include "metrics/evaluation.h"

#include <algorithm>

#include "metrics/roc.h"

namespace {

// EvaluateInto is Evaluate; with `assemble` false it asks every question
// but builds nothing from the answers (no curve, no fact), which is all a
// recording of the questions needs.
void EvaluateInto(const EvaluationInputs& in,
                  const PreparedEvaluation& prepared, const ScoreCounts& counts,
                  bool assemble, Evaluation* out) {
  *out = Evaluation();
  OperatingPointFacts& facts = out->facts;
  const bool keep_facts = assemble && in.operating_point_facts;
  out->traditional_slots = RankPreparedTraditionalCMC(
      prepared.traditional, counts, assemble ? &out->traditional_cmc : nullptr,
      keep_facts ? &facts.traditional_ranks : nullptr);
  AssembleMatchReportFromPairs(in.subject_map, prepared.mate_pairs,
                               in.probe_count, counts,
                               assemble ? &out->matches : nullptr);
  // Asked in SortForCounting order (ascending scores, NaN last), the
  // counts of the pass come out non-increasing: reversed, they are in the
  // ascending order the curve and the facts take. Other counts are sorted.
  std::vector<int64_t> beaten_by;
  ImpostorsBeatingEach(prepared.genuine_scores, counts,
                       assemble ? &beaten_by : nullptr);
  if (!assemble) return;
  std::reverse(beaten_by.begin(), beaten_by.end());
  if (!std::is_sorted(beaten_by.begin(), beaten_by.end())) {
    SortCounts(&beaten_by);
  }
  out->rank1 = AppendIdentificationCMC(out->matches.mate_ranks,
                                       in.num_distractors, &out->cmc);
  const int64_t impostor_count =
      int64_t{ImpostorRows(in.distractor_rows)} * in.num_distractors;
  AppendROCCurveFromSortedCounts(beaten_by, impostor_count, &out->roc);
  if (!keep_facts) return;
  facts.traditional_slots = out->traditional_slots;
  facts.impostor_count = impostor_count;
  facts.genuine_beaten_by = std::move(beaten_by);
  facts.probes = in.probe_count;
  facts.subjects = static_cast<int64_t>(in.subject_map.size());
  facts.distractors = in.num_distractors;
  facts.mate_ranks = SortedMateRanks(out->matches.mate_ranks);
}

}  // namespace

void PrepareEvaluation(const EvaluationInputs& in,
                       PreparedEvaluation* prepared) {
  PrepareTraditionalRanking(in.subject_map, in.probe_names, in.probe_scores,
                            static_cast<size_t>(in.distractor_rows),
                            in.num_distractors, kTrialCount,
                            &prepared->traditional);
  ListMatePairs(in.subject_map, in.probe_scores, &prepared->mate_pairs);
  prepared->genuine_scores =
      GenuineScoresOfMates(in.subject_map, prepared->mate_pairs);
  SortForCounting(&prepared->genuine_scores);
}

void Evaluate(const EvaluationInputs& in, const ScoreCounts& counts,
              Evaluation* out) {
  PreparedEvaluation prepared;
  PrepareEvaluation(in, &prepared);
  EvaluateInto(in, prepared, counts, true, out);
}

void Evaluate(const EvaluationInputs& in, const PreparedEvaluation& prepared,
              const ScoreCounts& counts, Evaluation* out) {
  EvaluateInto(in, prepared, counts, true, out);
}

ScoreQuestions RecordQuestions(const EvaluationInputs& in) {
  PreparedEvaluation prepared;
  PrepareEvaluation(in, &prepared);
  return RecordQuestions(in, prepared);
}

ScoreQuestions RecordQuestions(const EvaluationInputs& in,
                               const PreparedEvaluation& prepared) {
  ScoreQuestions questions;
  questions.top_distractors.resize(in.probe_count, false);
  // Room for the questions the prepared pairs and probes ask, so that the
  // lists grow once.
  questions.probe_scores.reserve(prepared.traditional.probes.size() +
                                 prepared.mate_pairs.scores.size());
  questions.impostor_scores.reserve(prepared.genuine_scores.size());
  Evaluation unused;
  EvaluateInto(in, prepared, QuestionRecorder(&questions), false, &unused);
  return questions;
}
