// The summary file: the exact operating points of a run as a JSON document,
// every rate a double written with 17 significant digits (null when not
// defined) and every count an integer, so that a reader gets the figures
// to the last bit:
//
// {
//   "counts": {"probes": 1000, "subjects": 200, "distractors": 10000,
//              "mate_pairs": ..., "genuine_pairs": ...,
//              "impostor_pairs": ..., "traditional_ranked": ...},
//   "identification_rate": [{"rank": 1, "rate": ...}, ...],
//   "traditional_rate": [{"rank": 1, "rate": ...}, ...],
//   "tar_at_far": [{"far": 0.1, "impostors_accepted": ..., "tar": ...}, ...],
//   "equal_error_rate": {"rate": ..., "impostors_accepted": ..., "far": ...,
//                        "frr": ...}
// }
//
// "far" is the shortest text that reads back as the double nearest to the
// false accept rate asked for.
#ifndef FUSE_RESULTS_RESULTS_SUMMARY_TEXT_H_
#define FUSE_RESULTS_RESULTS_SUMMARY_TEXT_H_

#include <string>

#include "metrics/operating_points.h"

// SummaryText returns the summary document of `points`, ending in a line
// feed.
std::string SummaryText(const OperatingPoints& points);

// ExactRealText returns `value` with 17 significant digits ("%.17g"), or
// "null" when it is not finite.
std::string ExactRealText(double value);

// ShortestRealText returns the shortest "%.*g" text that reads back as
// `value`, or "null" when it is not finite.
std::string ShortestRealText(double value);

#endif  // FUSE_RESULTS_RESULTS_SUMMARY_TEXT_H_
