#include "metrics/evaluation.h"

#include <algorithm>

#include <tbb/parallel_invoke.h>

#include "metrics/identification.h"
#include "metrics/roc.h"
#include "metrics/traditional_cmc.h"

namespace {

// Where each part of the evaluation asks its questions.
struct PartCounts {
  const ScoreCounts& traditional;
  const ScoreCounts& matches;
  const ScoreCounts& roc;
};

// EvaluateInto is Evaluate with each part asking its own ScoreCounts; the
// three parts run at once when `parallel`. With `assemble` false it asks
// every question but builds nothing from the answers (no curve, no fact),
// which is all a recording of the questions needs.
void EvaluateInto(const EvaluationInputs& in, const PartCounts& counts,
                  bool parallel, bool assemble, Evaluation* out) {
  *out = Evaluation();
  OperatingPointFacts& facts = out->facts;
  const bool keep_facts = assemble && in.operating_point_facts;
  std::vector<int64_t> beaten_by;
  const auto traditional = [&] {
    out->traditional_slots =
        RankTraditionalCMC(in.subject_map, in.probe_names, in.probe_scores,
                           static_cast<size_t>(in.distractor_rows),
                           in.num_distractors, counts.traditional, kTrialCount,
                           assemble ? &out->traditional_cmc : nullptr,
                           keep_facts ? &facts.traditional_ranks : nullptr);
  };
  const auto matches = [&] {
    AssembleMatchReport(in.subject_map, in.probe_scores, in.probe_count,
                        counts.matches, &out->matches);
  };
  const auto roc = [&] {
    beaten_by = GenuineBeatenBy(in.subject_map, in.probe_scores, counts.roc);
  };
  if (parallel) {
    tbb::parallel_invoke(traditional, matches, roc);
  } else {
    traditional();
    matches();
    roc();
  }
  if (!assemble) return;
  out->rank1 = AppendIdentificationCMC(out->matches.mate_ranks,
                                       in.num_distractors, &out->cmc);
  const int64_t impostor_count =
      int64_t{ImpostorRows(in.distractor_rows)} * in.num_distractors;
  std::sort(beaten_by.begin(), beaten_by.end());
  AppendROCCurveFromCounts(beaten_by, impostor_count, &out->roc);
  if (!keep_facts) return;
  facts.traditional_slots = out->traditional_slots;
  facts.impostor_count = impostor_count;
  facts.genuine_beaten_by = std::move(beaten_by);
  facts.probes = in.probe_count;
  facts.subjects = static_cast<int64_t>(in.subject_map.size());
  facts.distractors = in.num_distractors;
  facts.mate_ranks = SortedMateRanks(out->matches.mate_ranks);
}

// Append appends the questions of `part` to `*all`.
void Append(const ScoreQuestions& part, ScoreQuestions* all) {
  all->probe_scores.insert(all->probe_scores.end(), part.probe_scores.begin(),
                           part.probe_scores.end());
  all->impostor_scores.insert(all->impostor_scores.end(),
                              part.impostor_scores.begin(),
                              part.impostor_scores.end());
  if (all->top_distractors.size() < part.top_distractors.size()) {
    all->top_distractors.resize(part.top_distractors.size(), false);
  }
  for (size_t p = 0; p < part.top_distractors.size(); ++p) {
    if (part.top_distractors[p]) all->top_distractors[p] = true;
  }
}

}  // namespace

void Evaluate(const EvaluationInputs& in, const ScoreCounts& counts,
              Evaluation* out) {
  EvaluateInto(in, {counts, counts, counts}, counts.ConcurrentQuestions(), true,
               out);
}

ScoreQuestions RecordQuestions(const EvaluationInputs& in) {
  // A recorder per part, so that the parts run at once; their questions
  // joined in part order are those asked one part after the other.
  ScoreQuestions parts[3];
  const QuestionRecorder traditional(&parts[0]), matches(&parts[1]),
      roc(&parts[2]);
  Evaluation unused;
  EvaluateInto(in, {traditional, matches, roc}, true, false, &unused);
  ScoreQuestions questions;
  questions.top_distractors.resize(in.probe_count, false);
  for (ScoreQuestions& part : parts) {
    Append(part, &questions);
    part = ScoreQuestions();
  }
  return questions;
}
