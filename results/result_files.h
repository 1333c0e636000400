// The two result documents of a run: the results file with the three
// curves, and the match results file with every probe's best distractors
// and mate ranks. Both are laid out by StyledJSONText.
#ifndef FUSE_RESULTS_RESULTS_RESULT_FILES_H_
#define FUSE_RESULTS_RESULTS_RESULT_FILES_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <json/json.h>

#include "metrics/metrics.h"

// Per probe: its best distractors, (distractor index, score), best first.
using TopDistractorLists = std::vector<std::vector<std::pair<int32_t, float>>>;
// Per probe p: one (mate rank, query probe index) pair for every mate.
using MateRankLists = std::vector<std::vector<std::pair<uint64_t, int32_t>>>;

// MakeCMCAndROCDocument returns the results document: an object with
// "cmc", "roc" and "traditional_cmc", each [[first members], [second
// members]] of its curve's points, a member only for a non-empty curve;
// null when all three curves are empty. Rank indexes are integers, rates
// and ROC coordinates reals.
Json::Value MakeCMCAndROCDocument(const CMCCurve& cmc,
                                  const CMCCurve& traditional_cmc,
                                  const ROCCurve& roc);

// MakeMatchesDocument returns the match results document: an array with
// one object per entry of `top_distractors`, holding "distractors" ({"idx",
// "score"}, or null for an empty list) and "probes" ({"idx", "rank"}, or
// null for an empty list; ranks keep their low 32 bits as a signed
// integer); null when there are no probes. `mate_ranks` must have at least
// as many entries as `top_distractors`.
Json::Value MakeMatchesDocument(const TopDistractorLists& top_distractors,
                                const MateRankLists& mate_ranks);

// WriteTextFile replaces the file at `path` with `text`. Returns true iff
// the whole text was written and the file closed without error. A regular
// file (or a missing one) is replaced atomically: the text goes to a new
// file ".<name>.XXXXXX" in the same directory, is synced, and is renamed
// over `path`, so a reader or a crash sees the old content or the new,
// never a part. On failure that new file is removed and `path` is as it
// was. A replaced file keeps its permission bits (and its owner when the
// process may set it, as root); a new one gets 0666 less the umask. A
// symbolic link stays and its target is replaced. A path that exists and
// is not a regular file (a device such as /dev/stdout, a FIFO) is written
// straight through instead.
bool WriteTextFile(const std::string& path, const std::string& text);

// SaveCMCAndROC writes the results document to `filename`. Returns true iff
// the file was completely written.
bool SaveCMCAndROC(const std::string& filename, const CMCCurve& cmc,
                   const CMCCurve& traditional_cmc, const ROCCurve& roc);

// SaveMatches writes the match results document to `filename`. Returns
// true iff the file was completely written.
bool SaveMatches(const std::string& filename,
                 const TopDistractorLists& top_distractors,
                 const MateRankLists& mate_ranks);

#endif  // FUSE_RESULTS_RESULTS_RESULT_FILES_H_
