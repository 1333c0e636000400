// The text of the match results document, written straight from the lists:
// the same bytes as StyledJSONText(MakeMatchesDocument(...)), without
// building the document, whose thousands of small JSON objects would cost
// far more than the text itself.
#ifndef FUSE_RESULTS_RESULTS_MATCHES_TEXT_H_
#define FUSE_RESULTS_RESULTS_MATCHES_TEXT_H_

#include <string>

#include "results/result_files.h"

// MatchesText returns the laid-out match results document of the lists
// (`mate_ranks` must have at least as many entries as `top_distractors`).
std::string MatchesText(const TopDistractorLists& top_distractors,
                        const MateRankLists& mate_ranks);

#endif  // FUSE_RESULTS_RESULTS_MATCHES_TEXT_H_
