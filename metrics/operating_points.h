// Exact operating points of a run: the figures researchers quote, computed
// from the counts behind the curves instead of read off the thinned curves.
// With G genuine pairs and I impostor pairs:
// - identification rate at rank r (from 1): the share of (query, mate)
//   pairs whose mate rank is at most r - 1;
// - traditional rate at rank r: slot r - 1 of the traditional CMC's
//   cumulative single-precision rates before thinning;
// - true accept rate at false accept rate f: with k the largest integer
//   such that k <= f x I, computed exactly from the decimal text of f, the
//   share of genuine pairs beaten by at most k impostor pairs (entry k of
//   the true accept table, in double precision);
// - equal error rate: with FAR(k) = k / I and FRR(k) = 1 - TAR(k), the
//   smallest k with FAR(k) >= FRR(k), compared exactly in integers, and
//   (FAR(k) + FRR(k)) / 2.
// A figure that is not defined (no pair to count, no such slot) is NaN.
#ifndef FUSE_RESULTS_METRICS_OPERATING_POINTS_H_
#define FUSE_RESULTS_METRICS_OPERATING_POINTS_H_

#include <cstdint>
#include <string>
#include <vector>

// A non-negative decimal number held exactly: digits x 10^exponent, with
// no leading or trailing zero in `digits` (zero is the empty string with
// exponent 0), so that equal numbers are equal Decimals.
struct Decimal {
  std::string digits;
  int32_t exponent = 0;

  bool operator==(const Decimal& other) const {
    return digits == other.digits && exponent == other.exponent;
  }
};

// ParseDecimal parses a decimal text such as "1e-3", "0.0003", "3E-4" or
// "1" (digits with an optional point and an optional exponent; no sign,
// no spaces) into `*value`. Returns false for any other text, or an
// exponent beyond +-100000.
bool ParseDecimal(const std::string& text, Decimal* value);

// DecimalLess returns true iff a < b.
bool DecimalLess(const Decimal& a, const Decimal& b);

// DecimalToDouble returns the double nearest to `value`.
double DecimalToDouble(const Decimal& value);

// FloorTimes returns floor(value x count), computed exactly, or -1 when it
// exceeds `count` (value > 1). `count` must not be negative.
int64_t FloorTimes(const Decimal& value, int64_t count);

// What the operating points are computed from.
struct OperatingPointFacts {
  int64_t probes = 0;
  int64_t subjects = 0;
  int64_t distractors = 0;  // Distractor columns in use.
  // The mate rank of every (query, mate) pair, ascending.
  std::vector<uint64_t> mate_ranks;
  // The traditional CMC: its slot count (-1 without a curve) and the rank
  // of every ranked probe of every split, ascending. No ranks with a slot
  // count of 0 or more means the curve has no ranked probe (every rate
  // NaN); a rank at or beyond the slot count voids every rate.
  int64_t traditional_slots = -1;
  std::vector<int64_t> traditional_ranks;
  // For every genuine pair, the number of impostor pairs that beat it,
  // ascending; and the number of impostor pairs.
  std::vector<int64_t> genuine_beaten_by;
  int64_t impostor_count = 0;
};

// Figures asked for beyond the defaults.
struct OperatingPointRequest {
  std::vector<int64_t> ranks;  // Each at least 1.
  std::vector<Decimal> fars;   // Each from 0 to 1.
};

struct RankRate {
  int64_t rank = 0;
  double rate = 0.0;
};

struct TrueAcceptRate {
  Decimal far;
  int64_t impostors_accepted = 0;  // k
  double tar = 0.0;
};

struct EqualErrorRate {
  int64_t impostors_accepted = -1;  // -1 when not defined.
  double rate = 0.0;
  double far = 0.0;
  double frr = 0.0;
};

// The counts behind the figures.
struct OperatingPointCounts {
  int64_t probes = 0;
  int64_t subjects = 0;
  int64_t distractors = 0;
  int64_t mate_pairs = 0;
  int64_t genuine_pairs = 0;
  int64_t impostor_pairs = 0;
  int64_t traditional_ranked = 0;
};

struct OperatingPoints {
  OperatingPointCounts counts;
  std::vector<RankRate> identification;    // Ranks ascending.
  std::vector<RankRate> traditional;       // Ranks ascending.
  std::vector<TrueAcceptRate> tar_at_far;  // False accept rates descending.
  EqualErrorRate equal_error_rate;
};

// The ranks every summary holds.
const std::vector<int64_t>& DefaultIdentificationRanks();  // 1 .. 100
const std::vector<int64_t>& DefaultTraditionalRanks();     // 1, 5, 10

// DefaultFalseAcceptRates returns 10^-e for e = 1, 2, ... while
// 10^-e x impostor_count >= 1, largest first.
std::vector<Decimal> DefaultFalseAcceptRates(int64_t impostor_count);

// ComputeOperatingPoints fills `*out` from `facts`: the default ranks and
// false accept rates together with those of `request`, each figure once,
// ranks ascending and false accept rates descending.
void ComputeOperatingPoints(const OperatingPointFacts& facts,
                            const OperatingPointRequest& request,
                            OperatingPoints* out);

#endif  // FUSE_RESULTS_METRICS_OPERATING_POINTS_H_
