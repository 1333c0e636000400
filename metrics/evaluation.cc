#include "metrics/evaluation.h"

#include <algorithm>
#include <string>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_invoke.h>

#include "metrics/roc.h"

namespace {

// EvaluateInto is Evaluate; with `assemble` false it asks every question
// but builds nothing from the answers (no curve, no fact), which is all a
// recording of the questions needs. Its three parts (the traditional CMC,
// the match report and its CMC, the ROC) ask independent questions: they
// run at once when `counts` answers concurrently and something is
// assembled, else one after another in that order.
void EvaluateInto(const EvaluationInputs& in,
                  const PreparedEvaluation& prepared, const ScoreCounts& counts,
                  bool assemble, Evaluation* out) {
  *out = Evaluation();
  OperatingPointFacts& facts = out->facts;
  const bool keep_facts = assemble && in.operating_point_facts;
  const auto traditional = [&] {
    out->traditional_slots = RankPreparedTraditionalCMC(
        prepared.traditional, counts,
        assemble ? &out->traditional_cmc : nullptr,
        keep_facts ? &facts.traditional_ranks : nullptr);
  };
  const auto matches = [&] {
    AssembleMatchReportFromPairs(in.subject_map, prepared.mate_pairs,
                                 in.probe_count, counts,
                                 assemble ? &out->matches : nullptr);
    if (!assemble) return;
    out->rank1 = AppendIdentificationCMC(out->matches.mate_ranks,
                                         in.num_distractors, &out->cmc);
    if (keep_facts) facts.mate_ranks = SortedMateRanks(out->matches.mate_ranks);
  };
  const int64_t impostor_count =
      int64_t{ImpostorRows(in.distractor_rows)} * in.num_distractors;
  std::vector<int64_t> beaten_by;
  const auto roc = [&] {
    // Asked in SortForCounting order (ascending scores, NaN last), the
    // counts of the pass come out non-increasing: reversed, they are in
    // the ascending order the curve and the facts take. Other counts are
    // sorted.
    ImpostorsBeatingEach(prepared.genuine_scores, counts,
                         assemble ? &beaten_by : nullptr);
    if (!assemble) return;
    std::reverse(beaten_by.begin(), beaten_by.end());
    if (!std::is_sorted(beaten_by.begin(), beaten_by.end())) {
      SortCounts(&beaten_by);
    }
    AppendROCCurveFromSortedCounts(beaten_by, impostor_count, &out->roc);
  };
  if (assemble && counts.AnswersConcurrently()) {
    tbb::parallel_invoke(matches, traditional, roc);
  } else {
    traditional();
    matches();
    roc();
  }
  if (!keep_facts) return;
  facts.traditional_slots = out->traditional_slots;
  facts.impostor_count = impostor_count;
  facts.genuine_beaten_by = std::move(beaten_by);
  facts.probes = in.probe_count;
  facts.subjects = static_cast<int64_t>(in.subject_map.size());
  facts.distractors = in.num_distractors;
}

// PrepareGenuineScores sets the genuine scores of `*prepared` from its
// mate pairs, in SortForCounting order.
void PrepareGenuineScores(const EvaluationInputs& in,
                          PreparedEvaluation* prepared) {
  prepared->genuine_scores =
      GenuineScoresOfMates(in.subject_map, prepared->mate_pairs);
  SortForCounting(&prepared->genuine_scores);
}

// Floats of the probe score rows that one task reads and uses at a time:
// 256 KiB, a few rows that stay in the core's cache while both kinds of
// work use them.
constexpr int64_t kBlockFloats = int64_t{1} << 16;

// PreparedRowBlocks is the body of the parallel loop that reads blocks of
// `block_rows` rows and lists their mate pairs and ranks them: a named
// type, so that the race checker's reports can name the loop's tasks.
// Block b writes only its own error slot.
struct PreparedRowBlocks {
  const ProbeRowReader& read;
  int32_t width;  // Rows and columns in use: 0 .. width - 1.
  int32_t block_rows;
  const MatePairLister& lister;
  const TraditionalRankingBuilder* builder;  // Null: nothing to rank.
  std::vector<std::string>* errors;
  std::vector<char>* failed;

  void operator()(const tbb::blocked_range<int32_t>& range) const {
    std::vector<float> values;
    std::vector<uint64_t> scratch;
    for (int32_t b = range.begin(); b != range.end(); ++b) {
      const int32_t first = b * block_rows;
      const int32_t count = std::min(block_rows, width - first);
      values.resize(static_cast<size_t>(count) * width);
      if (!read(first, count, width, values.data(), &(*errors)[b])) {
        (*failed)[b] = 1;
        continue;
      }
      for (int32_t r = 0; r < count; ++r) {
        const float* row = values.data() + static_cast<size_t>(r) * width;
        lister.ListRow(first + r, row, &scratch);
        if (builder != nullptr) builder->RankRow(first + r, row);
      }
    }
  }
};

}  // namespace

bool PrepareEvaluationFromRows(const EvaluationInputs& in, int32_t rows,
                               int32_t cols, const ProbeRowReader& read,
                               PreparedEvaluation* prepared,
                               std::string* error) {
  int64_t width = 0;  // Past the largest probe index; every index read.
  bool negative = false;
  for (const auto& subject : in.subject_map) {
    for (const int32_t p : subject.second) {
      negative = negative || p < 0;
      width = std::max(width, int64_t{p} + 1);
    }
  }
  if (negative || width > rows || width > cols) {
    *error = "the probe score matrix does not cover every probe";
    return false;
  }
  TraditionalRankingBuilder builder(
      in.subject_map, in.probe_names, rows, cols, true,
      static_cast<size_t>(in.distractor_rows), in.num_distractors, kTrialCount,
      &prepared->traditional);
  const bool ranked = prepared->traditional.slot_count >= 0;
  const MatePairLister lister(in.subject_map, &prepared->mate_pairs);
  if (width > 0) {
    const int32_t block_rows =
        static_cast<int32_t>(std::max<int64_t>(1, kBlockFloats / width));
    const int32_t blocks = static_cast<int32_t>((width - 1) / block_rows + 1);
    std::vector<std::string> errors(static_cast<size_t>(blocks));
    std::vector<char> failed(static_cast<size_t>(blocks), 0);
    tbb::parallel_for(
        tbb::blocked_range<int32_t>(0, blocks, 1),
        PreparedRowBlocks{read, static_cast<int32_t>(width), block_rows, lister,
                          ranked ? &builder : nullptr, &errors, &failed});
    for (int32_t b = 0; b < blocks; ++b) {
      if (failed[b]) {
        *error = errors[b];
        return false;
      }
    }
  }
  if (ranked) builder.Finish();
  PrepareGenuineScores(in, prepared);
  return true;
}

void PrepareEvaluation(const EvaluationInputs& in,
                       PreparedEvaluation* prepared) {
  PrepareTraditionalRanking(in.subject_map, in.probe_names, in.probe_scores,
                            static_cast<size_t>(in.distractor_rows),
                            in.num_distractors, kTrialCount,
                            &prepared->traditional);
  ListMatePairs(in.subject_map, in.probe_scores, &prepared->mate_pairs);
  PrepareGenuineScores(in, prepared);
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
