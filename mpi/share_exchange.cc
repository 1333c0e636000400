#include "mpi/share_exchange.h"

#include <algorithm>
#include <cstring>

namespace {

// Bytes appended and read back in the machine's own layout: every rank of
// a run is the same program on the same kind of machine.
template <typename T>
void Append(const T* values, size_t count, std::vector<char>* bytes) {
  const char* start = reinterpret_cast<const char*>(values);
  bytes->insert(bytes->end(), start, start + count * sizeof(T));
}

template <typename T>
void AppendValue(T value, std::vector<char>* bytes) {
  Append(&value, 1, bytes);
}

// Reader takes values from the front of a byte array and remembers whether
// it ever ran short.
class Reader {
 public:
  explicit Reader(const std::vector<char>& bytes) : bytes_(bytes) {}

  template <typename T>
  bool Take(T* values, size_t count) {
    const size_t length = count * sizeof(T);
    if (count > bytes_.size() / sizeof(T) || bytes_.size() - at_ < length) {
      return false;
    }
    if (length > 0) std::memcpy(values, bytes_.data() + at_, length);
    at_ += length;
    return true;
  }

  template <typename T>
  bool TakeValue(T* value) {
    return Take(value, 1);
  }

  bool AtEnd() const { return at_ == bytes_.size(); }

 private:
  const std::vector<char>& bytes_;
  size_t at_ = 0;
};

uint32_t FloatBits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

float BitsFloat(int32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

}  // namespace

void ColumnShare(int32_t columns, int ranks, int rank, int32_t* first,
                 int32_t* end) {
  const int64_t n = std::max<int32_t>(columns, 0);
  *first = static_cast<int32_t>(n * rank / ranks);
  *end = static_cast<int32_t>(n * (rank + 1) / ranks);
}

void TileShare(int32_t distractors, int32_t tile_rows, int ranks, int rank,
               int32_t* first, int32_t* end) {
  const int64_t n = std::max(tile_rows, 1);
  const int64_t d = std::max<int32_t>(distractors, 0);
  const int32_t tiles = static_cast<int32_t>((d + n - 1) / n);
  int32_t first_tile = 0, end_tile = 0;
  ColumnShare(tiles, ranks, rank, &first_tile, &end_tile);
  *first = static_cast<int32_t>(std::min(d, first_tile * n));
  *end = static_cast<int32_t>(std::min(d, end_tile * n));
}

std::vector<char> PackPassOrder(const PassOrder& order) {
  std::vector<char> bytes;
  const PassPlan& plan = order.plan;
  AppendValue<uint64_t>(order.path.size(), &bytes);
  Append(order.path.data(), order.path.size(), &bytes);
  const int32_t fields[] = {order.header.rows,    order.header.cols,
                            order.header.step,    order.header.type,
                            plan.num_distractors, plan.probe_rows,
                            plan.impostor_rows,   plan.top_count};
  Append(fields, std::size(fields), &bytes);
  AppendValue<uint64_t>(plan.probe_thresholds.size(), &bytes);
  for (const std::vector<float>& thresholds : plan.probe_thresholds) {
    AppendValue<uint64_t>(thresholds.size(), &bytes);
    Append(thresholds.data(), thresholds.size(), &bytes);
  }
  AppendValue<uint64_t>(plan.impostor_thresholds.size(), &bytes);
  Append(plan.impostor_thresholds.data(), plan.impostor_thresholds.size(),
         &bytes);
  const cv::Mat& features = order.probe_features;
  const int32_t shape[] = {
      order.features ? 1 : 0, static_cast<int32_t>(order.metric),
      order.features ? features.rows : 0, order.features ? features.cols : 0};
  Append(shape, std::size(shape), &bytes);
  for (int32_t r = 0; r < shape[2]; ++r) {
    Append(features.ptr<float>(r), static_cast<size_t>(shape[3]), &bytes);
  }
  return bytes;
}

bool UnpackPassOrder(const std::vector<char>& bytes, PassOrder* order) {
  Reader reader(bytes);
  PassPlan& plan = order->plan;
  uint64_t size = 0;
  if (!reader.TakeValue(&size) || size > bytes.size()) return false;
  order->path.resize(size);
  int32_t fields[8];
  if (!reader.Take(order->path.data(), size) || !reader.Take(fields, 8)) {
    return false;
  }
  order->header = {fields[0], fields[1], fields[2], fields[3]};
  plan.num_distractors = fields[4];
  plan.probe_rows = fields[5];
  plan.impostor_rows = fields[6];
  plan.top_count = fields[7];
  if (!reader.TakeValue(&size) || size > bytes.size()) return false;
  plan.probe_thresholds.assign(size, {});
  for (std::vector<float>& thresholds : plan.probe_thresholds) {
    if (!reader.TakeValue(&size) || size > bytes.size()) return false;
    thresholds.resize(size);
    if (!reader.Take(thresholds.data(), size)) return false;
  }
  if (!reader.TakeValue(&size) || size > bytes.size()) return false;
  plan.impostor_thresholds.resize(size);
  int32_t shape[4];
  if (!reader.Take(plan.impostor_thresholds.data(), size) ||
      !reader.Take(shape, 4) || shape[0] < 0 || shape[0] > 1 || shape[1] < 0 ||
      shape[1] > static_cast<int32_t>(Metric::kL2) || shape[2] < 0 ||
      shape[3] < 0 ||
      int64_t{shape[2]} * shape[3] > static_cast<int64_t>(bytes.size())) {
    return false;
  }
  order->features = shape[0] == 1;
  order->metric = static_cast<Metric>(shape[1]);
  order->probe_features.create(shape[2], shape[3], CV_32FC1);
  for (int32_t r = 0; r < shape[2]; ++r) {
    if (!reader.Take(order->probe_features.ptr<float>(r),
                     static_cast<size_t>(shape[3]))) {
      return false;
    }
  }
  return reader.AtEnd();
}

std::vector<int64_t> FlattenCounts(const PassAnswers& answers,
                                   int64_t changed_values) {
  std::vector<int64_t> flat;
  for (const std::vector<int64_t>& counts : answers.probe_counts) {
    flat.insert(flat.end(), counts.begin(), counts.end());
  }
  flat.insert(flat.end(), answers.impostor_counts.begin(),
              answers.impostor_counts.end());
  flat.push_back(changed_values);
  return flat;
}

void UnflattenCounts(const PassPlan& plan, const std::vector<int64_t>& flat,
                     PassAnswers* answers, int64_t* changed_values) {
  auto next = flat.begin();
  answers->probe_counts.assign(plan.probe_thresholds.size(), {});
  for (size_t p = 0; p < plan.probe_thresholds.size(); ++p) {
    const size_t m = plan.probe_thresholds[p].size();
    answers->probe_counts[p].assign(next, next + m);
    next += m;
  }
  const size_t m = plan.impostor_thresholds.size();
  answers->impostor_counts.assign(next, next + m);
  *changed_values = *(next + m);
}

std::vector<int32_t> PackTopRecords(const PassPlan& plan,
                                    const PassAnswers& answers) {
  const int32_t capacity = std::min(plan.top_count, plan.num_distractors);
  std::vector<int32_t> records(answers.top_distractors.size() * kTopRecordInts,
                               0);
  for (size_t p = 0; p < answers.top_distractors.size(); ++p) {
    int32_t* record = &records[p * kTopRecordInts];
    const TopDistractorList& list = answers.top_distractors[p];
    record[0] = static_cast<int32_t>(list.size());
    record[1] = capacity;
    for (size_t k = 0; k < list.size(); ++k) {
      record[2 + 2 * k] = list[k].first;
      record[3 + 2 * k] = static_cast<int32_t>(FloatBits(list[k].second));
    }
  }
  return records;
}

void MergeTopRecords(const int32_t* in, int32_t* inout, int64_t count) {
  for (int64_t r = 0; r < count; ++r) {
    const int32_t* a = in + r * kTopRecordInts;
    int32_t* b = inout + r * kTopRecordInts;
    const int32_t capacity = std::min(b[1], kMaxBestDistractors);
    BestDistractors best;
    for (const int32_t* record : {a, static_cast<const int32_t*>(b)}) {
      for (int32_t k = 0; k < std::min(record[0], capacity); ++k) {
        best.Offer(BitsFloat(record[3 + 2 * k]), record[2 + 2 * k], capacity);
      }
    }
    b[0] = best.size;
    for (int32_t k = 0; k < best.size; ++k) {
      b[2 + 2 * k] = best.index[k];
      b[3 + 2 * k] = static_cast<int32_t>(FloatBits(best.score[k]));
    }
  }
}

void UnpackTopRecords(const std::vector<int32_t>& records,
                      PassAnswers* answers) {
  const size_t probes = records.size() / kTopRecordInts;
  answers->top_distractors.assign(probes, {});
  for (size_t p = 0; p < probes; ++p) {
    const int32_t* record = &records[p * kTopRecordInts];
    for (int32_t k = 0; k < record[0]; ++k) {
      answers->top_distractors[p].emplace_back(record[2 + 2 * k],
                                               BitsFloat(record[3 + 2 * k]));
    }
  }
}
