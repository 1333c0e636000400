#include "metrics/operating_points.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "metrics/traditional_cmc.h"

namespace {

constexpr int32_t kMaxExponent = 100000;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Share returns count / total in double precision, NaN when total is 0.
double Share(int64_t count, int64_t total) {
  return total == 0 ? kNaN
                    : static_cast<double>(count) / static_cast<double>(total);
}

// AtMost returns how many entries of the ascending `values` are at most
// `limit`.
template <typename T>
int64_t AtMost(const std::vector<T>& values, T limit) {
  return std::upper_bound(values.begin(), values.end(), limit) - values.begin();
}

// EqualErrorRateOf finds the smallest k in 0 .. I with k / I >= 1 - c(k) /
// G, c(k) the genuine pairs beaten by at most k impostor pairs. The test
// k G >= (G - c(k)) I is exact in integers; it holds at k = I, and both
// sides move monotonically in k, so bisection finds the first k.
EqualErrorRate EqualErrorRateOf(const std::vector<int64_t>& beaten_by,
                                int64_t impostors) {
  EqualErrorRate eer;
  const int64_t genuine = static_cast<int64_t>(beaten_by.size());
  if (genuine == 0 || impostors == 0) {
    eer.rate = eer.far = eer.frr = kNaN;
    return eer;
  }
  const auto far_reaches_frr = [&](int64_t k) {
    const __int128 accepted = AtMost(beaten_by, k);
    return __int128{k} * genuine >= (genuine - accepted) * impostors;
  };
  int64_t low = 0, high = impostors;
  while (low < high) {
    const int64_t middle = low + (high - low) / 2;
    if (far_reaches_frr(middle)) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  eer.impostors_accepted = low;
  eer.far = Share(low, impostors);
  eer.frr = 1.0 - Share(AtMost(beaten_by, low), genuine);
  eer.rate = (eer.far + eer.frr) / 2.0;
  return eer;
}

}  // namespace

bool ParseDecimal(const std::string& text, Decimal* value) {
  std::string digits;
  int64_t exponent = 0;
  size_t i = 0;
  bool any_digit = false;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
       ++i) {
    digits += text[i];
    any_digit = true;
  }
  if (i < text.size() && text[i] == '.') {
    for (++i;
         i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
         ++i) {
      digits += text[i];
      --exponent;
      any_digit = true;
    }
  }
  if (!any_digit) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
      negative = text[i] == '-';
      ++i;
    }
    if (i == text.size()) return false;
    int64_t written = 0;
    for (; i < text.size(); ++i) {
      if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
      written = written * 10 + (text[i] - '0');
      if (written > kMaxExponent) return false;
    }
    exponent += negative ? -written : written;
  }
  if (i != text.size()) return false;
  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) {
    *value = Decimal();
    return true;
  }
  const size_t last = digits.find_last_not_of('0');
  exponent += static_cast<int64_t>(digits.size() - 1 - last);
  value->digits = digits.substr(first, last + 1 - first);
  value->exponent = static_cast<int32_t>(exponent);
  return true;
}

bool DecimalLess(const Decimal& a, const Decimal& b) {
  if (a.digits.empty() || b.digits.empty()) return !b.digits.empty();
  // A value lies in [10^(m - 1), 10^m), m its digit count plus exponent.
  const int64_t a_magnitude = int64_t{a.exponent} + a.digits.size();
  const int64_t b_magnitude = int64_t{b.exponent} + b.digits.size();
  if (a_magnitude != b_magnitude) return a_magnitude < b_magnitude;
  // Same leading position and no trailing zeros: the digit strings compare
  // as the values do.
  return a.digits < b.digits;
}

double DecimalToDouble(const Decimal& value) {
  if (value.digits.empty()) return 0.0;
  const std::string text = value.digits + "e" + std::to_string(value.exponent);
  return std::strtod(text.c_str(), nullptr);
}

int64_t FloorTimes(const Decimal& value, int64_t count) {
  if (DecimalLess(Decimal{"1", 0}, value)) return -1;
  if (value.digits.empty() || count == 0) return 0;
  // value <= 1 without trailing zeros: a positive exponent is impossible.
  // The product digits x count, least significant digit first.
  std::string product;
  unsigned __int128 carry = 0;
  for (size_t d = value.digits.size(); d-- > 0;) {
    carry += static_cast<unsigned __int128>(value.digits[d] - '0') *
             static_cast<uint64_t>(count);
    product += static_cast<char>('0' + static_cast<int>(carry % 10));
    carry /= 10;
  }
  for (; carry > 0; carry /= 10) {
    product += static_cast<char>('0' + static_cast<int>(carry % 10));
  }
  // Dropping the -exponent lowest digits divides by 10^-exponent, rounding
  // down. The rest is at most `count`, so it fits.
  const size_t dropped = static_cast<size_t>(-int64_t{value.exponent});
  int64_t result = 0;
  for (size_t d = product.size(); d-- > dropped;) {
    result = result * 10 + (product[d] - '0');
  }
  return result;
}

const std::vector<int64_t>& DefaultIdentificationRanks() {
  static const std::vector<int64_t> ranks = {1, 5, 10, 20, 50, 100};
  return ranks;
}

const std::vector<int64_t>& DefaultTraditionalRanks() {
  static const std::vector<int64_t> ranks = {1, 5, 10};
  return ranks;
}

std::vector<Decimal> DefaultFalseAcceptRates(int64_t impostor_count) {
  std::vector<Decimal> fars;
  int64_t power = 10;
  for (int32_t e = 1; power <= impostor_count; ++e) {
    fars.push_back(Decimal{"1", -e});
    if (power > impostor_count / 10) break;
    power *= 10;
  }
  return fars;
}

void ComputeOperatingPoints(const OperatingPointFacts& facts,
                            const OperatingPointRequest& request,
                            OperatingPoints* out) {
  *out = OperatingPoints();
  OperatingPointCounts& counts = out->counts;
  counts.probes = facts.probes;
  counts.subjects = facts.subjects;
  counts.distractors = facts.distractors;
  counts.mate_pairs = static_cast<int64_t>(facts.mate_ranks.size());
  counts.genuine_pairs = static_cast<int64_t>(facts.genuine_beaten_by.size());
  counts.impostor_pairs = facts.impostor_count;
  counts.traditional_ranked =
      static_cast<int64_t>(facts.traditional_ranks.size());

  const auto ranks_with = [&](const std::vector<int64_t>& defaults) {
    std::vector<int64_t> ranks = defaults;
    ranks.insert(ranks.end(), request.ranks.begin(), request.ranks.end());
    std::sort(ranks.begin(), ranks.end());
    ranks.erase(std::unique(ranks.begin(), ranks.end()), ranks.end());
    return ranks;
  };
  for (const int64_t rank : ranks_with(DefaultIdentificationRanks())) {
    const uint64_t limit = static_cast<uint64_t>(rank - 1);
    out->identification.push_back(
        {rank, Share(AtMost(facts.mate_ranks, limit), counts.mate_pairs)});
  }
  const std::vector<int64_t>& traditional = facts.traditional_ranks;
  const bool voided =
      facts.traditional_slots < 0 ||
      (!traditional.empty() && traditional.back() >= facts.traditional_slots);
  for (const int64_t rank : ranks_with(DefaultTraditionalRanks())) {
    const bool has_slot = !voided && rank - 1 < facts.traditional_slots;
    out->traditional.push_back(
        {rank, has_slot ? TraditionalRateAt(traditional, rank - 1) : kNaN});
  }

  std::vector<Decimal> fars = DefaultFalseAcceptRates(facts.impostor_count);
  fars.insert(fars.end(), request.fars.begin(), request.fars.end());
  std::sort(fars.begin(), fars.end(), [](const Decimal& a, const Decimal& b) {
    return DecimalLess(b, a);
  });
  fars.erase(std::unique(fars.begin(), fars.end()), fars.end());
  for (const Decimal& far : fars) {
    const int64_t k = FloorTimes(far, facts.impostor_count);
    if (k < 0) continue;  // Above 1: refused when the request was made.
    out->tar_at_far.push_back(
        {far, k,
         Share(AtMost(facts.genuine_beaten_by, k), counts.genuine_pairs)});
  }
  out->equal_error_rate =
      EqualErrorRateOf(facts.genuine_beaten_by, facts.impostor_count);
}
