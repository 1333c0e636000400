// The two result documents of a run: the results file with the three
// curves, and the match results file with every probe's best distractors
// and mate ranks. Both are laid out by StyledJSONText.
#ifndef FUSE_RESULTS_RESULTS_RESULT_FILES_H_
#define FUSE_RESULTS_RESULTS_RESULT_FILES_H_

#include <cstdint>
#include <string>

#include <json/json.h>

#include "metrics/curves.h"
#include "metrics/identification.h"
#include "metrics/top_distractors.h"

// MakeCMCAndROCDocument returns the results document: an object with
// "cmc", "roc" and "traditional_cmc", each [[first members], [second
// members]] of its curve's points, a member only for a non-empty curve;
// null when all three curves are empty. Rank indexes are integers, rates
// and ROC coordinates reals.
Json::Value MakeCMCAndROCDocument(const CMCCurve& cmc,
                                  const CMCCurve& traditional_cmc,
                                  const ROCCurve& roc);

// MatchesText returns the match results document, laid out: an array with
// one object per entry of `top_distractors`, holding "distractors"
// ({"idx", "score"}, or null for an empty list) and "probes" ({"idx",
// "rank"}, or null for an empty list or one past the end of `mate_ranks`;
// a rank is written as the signed 32-bit integer of its low 32 bits); the
// document is null when there are no probes.
std::string MatchesText(const TopDistractorLists& top_distractors,
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
