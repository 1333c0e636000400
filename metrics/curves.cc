#include "metrics/curves.h"

void QuantizeCMC(const std::vector<float>& rates, CMCCurve* curve) {
  CurveThinner thinner;
  const size_t n = rates.size();
  for (size_t i = 0; i < n; ++i) {
    if (thinner.Keep(rates[i], i + 1 == n)) {
      curve->emplace_back(static_cast<int32_t>(i), rates[i]);
    }
  }
}
