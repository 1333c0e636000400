// tile_sgemm: the matrix product of the feature route on its own, on
// synthetic unit-length rows (no files read).
//
//   tile_sgemm [--block_probes B] [--tile_rows N] [--dim K] [--seconds S]
//
// Prints, as key=value lines:
//   - the rate of the product shape fuse_results --features uses (B probes
//     x N rows x K dimensions, one cblas_sgemm per block and tile): on one
//     thread; on two threads at once, each calling a single-threaded BLAS
//     on its own tiles (what the program's two pipeline threads do); and as
//     one call that the BLAS splits over two of its own threads. Each rate
//     is the best of three windows of about S seconds (default 0.5);
//   - whether the BLAS gives the same bits for the same (probe, row) pair
//     when the product around it has another shape: for each variant, how
//     many of the compared scores differ from the program's shape (tiles of
//     N rows from row 0, blocks of B probes, one BLAS thread) and the
//     largest difference.
// Exit status 0 (also for --help); 2 on bad arguments.
#include <cblas.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

// OpenBLAS's controls; other BLAS libraries lack them (then the thread
// variants are reported as not measured).
extern "C" void openblas_set_num_threads(int threads) __attribute__((weak));
extern "C" char* openblas_get_config(void) __attribute__((weak));

namespace {

using Clock = std::chrono::steady_clock;

struct Shape {
  int block_probes = 500;
  int tile_rows = 1024;
  int dim = 512;
  double seconds = 0.5;
};

bool SetThreads(int threads) {
  if (openblas_set_num_threads == nullptr) return false;
  openblas_set_num_threads(threads);
  return true;
}

// Rows of unit length with Gaussian directions, as the cosine metric
// prepares them.
std::vector<float> UnitRows(int rows, int dim, uint32_t seed) {
  std::mt19937 generator(seed);
  std::normal_distribution<float> normal;
  std::vector<float> out(size_t(rows) * dim);
  for (int r = 0; r < rows; ++r) {
    float* row = &out[size_t(r) * dim];
    double sum = 0;
    for (int k = 0; k < dim; ++k) {
      row[k] = normal(generator);
      sum += double{row[k]} * row[k];
    }
    const double length = std::sqrt(sum);
    for (int k = 0; k < dim; ++k) row[k] = static_cast<float>(row[k] / length);
  }
  return out;
}

// C (m x n) = A (m x k) . B (n x k)^T, row major, as the program calls it.
void Product(int m, int n, int k, const float* a, const float* b, float* c) {
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, m, n, k, 1.0f, a, k, b,
              k, 0.0f, c, n);
}

// --- Rates -------------------------------------------------------------------

// Calls per window so that one window lasts about `seconds` on one thread.
int CallsPerWindow(const Shape& s, const float* a, const float* b, float* c) {
  const auto start = Clock::now();
  int calls = 0;
  do {
    Product(s.block_probes, s.tile_rows, s.dim, a, b, c);
    ++calls;
  } while (std::chrono::duration<double>(Clock::now() - start).count() <
           s.seconds / 4);
  return std::max(1, calls * 4);
}

// Best rate in GFLOP/s of three windows in which `threads` threads each
// make `calls` products on their own tiles.
double Rate(const Shape& s, int threads, int calls, const float* a,
            std::vector<std::vector<float>>* tiles,
            std::vector<std::vector<float>>* scores) {
  const double flops = 2.0 * s.block_probes * s.tile_rows * s.dim;
  double best = 0;
  for (int window = 0; window < 3; ++window) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        ready.fetch_add(1);
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < calls; ++i) {
          Product(s.block_probes, s.tile_rows, s.dim, a, (*tiles)[t].data(),
                  (*scores)[t].data());
        }
      });
    }
    while (ready.load() < threads) std::this_thread::yield();
    const auto start = Clock::now();
    go.store(true);
    for (std::thread& worker : workers) worker.join();
    const double wall =
        std::chrono::duration<double>(Clock::now() - start).count();
    best = std::max(best, flops * calls * threads / wall / 1e9);
  }
  return best;
}

void PrintRates(const Shape& s) {
  const std::vector<float> probes = UnitRows(s.block_probes, s.dim, 1);
  std::vector<std::vector<float>> tiles, scores;
  for (int t = 0; t < 2; ++t) {
    tiles.push_back(UnitRows(s.tile_rows, s.dim, 10 + t));
    scores.emplace_back(size_t(s.block_probes) * s.tile_rows);
  }
  const bool controlled = SetThreads(1);
  const int calls =
      CallsPerWindow(s, probes.data(), tiles[0].data(), scores[0].data());
  std::printf("tile_shape=%dx%dx%d calls_per_window=%d\n", s.block_probes,
              s.tile_rows, s.dim, calls);
  const double one = Rate(s, 1, calls, probes.data(), &tiles, &scores);
  const double two = Rate(s, 2, calls, probes.data(), &tiles, &scores);
  std::printf("tile_1thread_gflops=%.1f\n", one);
  std::printf("tile_2threads_gflops=%.1f\n", two);
  if (controlled) {
    SetThreads(2);
    std::printf("tile_1call_2blas_threads_gflops=%.1f\n",
                Rate(s, 1, calls, probes.data(), &tiles, &scores));
    SetThreads(1);
  } else {
    std::printf("tile_1call_2blas_threads_gflops=not_measured\n");
  }
}

// --- Determinism -------------------------------------------------------------

// Scores of `probes` (p x dim) against `rows` (r x dim) laid out as
// [probe * r + row], computed the way a variant arranges its products.
using Arrangement =
    std::function<void(int p, int r, int dim, const float* probes,
                       const float* rows, float* scores)>;

// Rows in tiles of `tile` rows (the last padded with zero rows), the first
// tile starting with `offset` zero rows so that every row moves `offset`
// places down its tile; probes in blocks of `block` (padded likewise,
// `probe_offset` zero rows first).
Arrangement Tiled(int tile, int offset, int block, int probe_offset) {
  return [=](int p, int r, int dim, const float* probes, const float* rows,
             float* scores) {
    std::vector<float> a(size_t(block) * dim), b(size_t(tile) * dim);
    std::vector<float> c(size_t(block) * tile);
    // Positions in the padded sequences.
    for (int p0 = -probe_offset; p0 < p; p0 += block) {
      std::fill(a.begin(), a.end(), 0.0f);
      for (int i = std::max(0, -p0); i < block && p0 + i < p; ++i) {
        std::memcpy(&a[size_t(i) * dim], probes + size_t(p0 + i) * dim,
                    sizeof(float) * dim);
      }
      for (int r0 = -offset; r0 < r; r0 += tile) {
        std::fill(b.begin(), b.end(), 0.0f);
        for (int j = std::max(0, -r0); j < tile && r0 + j < r; ++j) {
          std::memcpy(&b[size_t(j) * dim], rows + size_t(r0 + j) * dim,
                      sizeof(float) * dim);
        }
        Product(block, tile, dim, a.data(), b.data(), c.data());
        for (int i = std::max(0, -p0); i < block && p0 + i < p; ++i) {
          for (int j = std::max(0, -r0); j < tile && r0 + j < r; ++j) {
            scores[size_t(p0 + i) * r + r0 + j] = c[size_t(i) * tile + j];
          }
        }
      }
    }
  };
}

// Every score by one dot product.
void DotByDot(int p, int r, int dim, const float* probes, const float* rows,
              float* scores) {
  for (int i = 0; i < p; ++i) {
    for (int j = 0; j < r; ++j) {
      scores[size_t(i) * r + j] = cblas_sdot(dim, probes + size_t(i) * dim, 1,
                                             rows + size_t(j) * dim, 1);
    }
  }
}

void PrintDeterminism(const Shape& s) {
  // Four tiles' worth of rows; one block of probes.
  const int p = s.block_probes, r = 4 * s.tile_rows, n = s.tile_rows;
  const std::vector<float> probes = UnitRows(p, s.dim, 2);
  const std::vector<float> rows = UnitRows(r, s.dim, 3);
  const size_t count = size_t(p) * r;
  SetThreads(1);
  std::vector<float> reference(count), other(count);
  Tiled(n, 0, p, 0)(p, r, s.dim, probes.data(), rows.data(), reference.data());
  std::printf(
      "determinism_reference=tiles of %d rows from row 0, blocks of "
      "%d probes, 1 BLAS thread; %d probes x %d rows\n",
      n, p, p, r);

  // The same rows at the same places, every odd row swapped for another.
  std::vector<float> mixed = rows;
  {
    const std::vector<float> others = UnitRows(r, s.dim, 4);
    for (int j = 1; j < r; j += 2) {
      std::memcpy(&mixed[size_t(j) * s.dim], &others[size_t(j) * s.dim],
                  sizeof(float) * s.dim);
    }
  }
  const Arrangement odd_rows_swapped =
      [&mixed, n](int p, int r, int dim, const float* probes, const float*,
                  float* scores) {
        Tiled(n, 0, p, 0)(p, r, dim, probes, mixed.data(), scores);
      };

  struct Variant {
    std::string name;
    Arrangement arrange;
    int threads;  // BLAS threads; 0: two application threads, 1 each.
    bool even_rows_only = false;  // Compares the even rows' scores only.
  };
  const std::vector<Variant> variants = {
      {"same shape again", Tiled(n, 0, p, 0), 1},
      {"same shape, the odd rows of every tile other rows (even rows "
       "compared)",
       odd_rows_swapped, 1, true},
      {"tiles of 1000 rows", Tiled(1000, 0, p, 0), 1},
      {"tiles of 257 rows", Tiled(257, 0, p, 0), 1},
      {"tiles of " + std::to_string(n) + ", rows 1 place down",
       Tiled(n, 1, p, 0), 1},
      {"tiles of " + std::to_string(n) + ", rows 7 places down",
       Tiled(n, 7, p, 0), 1},
      {"tiles of " + std::to_string(n) + ", rows 16 places down",
       Tiled(n, 16, p, 0), 1},
      {"blocks of 512 probes", Tiled(n, 0, 512, 0), 1},
      {"blocks of " + std::to_string(p) + ", probes 1 place down",
       Tiled(n, 0, p, 1), 1},
      {"one probe per product", Tiled(n, 0, 1, 0), 1},
      {"one row per product", Tiled(1, 0, p, 0), 1},
      {"cblas_sdot per pair", DotByDot, 1},
      {"same shape, 2 BLAS threads per product", Tiled(n, 0, p, 0), 2},
      {"same shape, two application threads", nullptr, 0},
  };
  for (const Variant& v : variants) {
    if (v.threads == 2 && !SetThreads(2)) {
      std::printf(
          "variant=\"%s\" not_measured (no OpenBLAS thread "
          "control)\n",
          v.name.c_str());
      continue;
    }
    std::fill(other.begin(), other.end(), std::nanf(""));
    if (v.threads == 0) {
      // Half the tiles on each thread, as the pipeline hands them out.
      std::vector<std::thread> workers;
      for (int t = 0; t < 2; ++t) {
        workers.emplace_back([&, t] {
          std::vector<float> a(probes), b(size_t(n) * s.dim), c(size_t(p) * n);
          for (int tile = t; tile < r / n; tile += 2) {
            std::memcpy(b.data(), &rows[size_t(tile) * n * s.dim],
                        sizeof(float) * b.size());
            Product(p, n, s.dim, a.data(), b.data(), c.data());
            for (int i = 0; i < p; ++i) {
              std::memcpy(&other[size_t(i) * r + size_t(tile) * n],
                          &c[size_t(i) * n], sizeof(float) * n);
            }
          }
        });
      }
      for (std::thread& worker : workers) worker.join();
    } else {
      v.arrange(p, r, s.dim, probes.data(), rows.data(), other.data());
    }
    SetThreads(1);
    size_t differ = 0, compared = 0;
    double largest = 0;
    for (size_t i = 0; i < count; ++i) {
      if (v.even_rows_only && (i % r) % 2 == 1) continue;
      ++compared;
      if (std::memcmp(&reference[i], &other[i], sizeof(float)) != 0) {
        ++differ;
        largest = std::max(largest, std::fabs(double{reference[i]} - other[i]));
      }
    }
    std::printf(
        "variant=\"%s\" differing=%zu of %zu (%.2f%%) "
        "largest_difference=%.3g\n",
        v.name.c_str(), differ, compared, 100.0 * differ / compared, largest);
  }
}

bool ParseArguments(int argc, char** argv, Shape* s) {
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "-h" || flag == "--help" || i + 1 >= argc) return false;
    const char* value = argv[++i];
    char* end = nullptr;
    const double number = std::strtod(value, &end);
    if (end == value || *end != '\0' || !(number > 0)) return false;
    if (flag == "--block_probes") {
      s->block_probes = static_cast<int>(number);
    } else if (flag == "--tile_rows") {
      s->tile_rows = static_cast<int>(number);
    } else if (flag == "--dim") {
      s->dim = static_cast<int>(number);
    } else if (flag == "--seconds") {
      s->seconds = number;
    } else {
      return false;
    }
  }
  return s->block_probes > 0 && s->tile_rows > 0 && s->dim > 0 &&
         s->block_probes <= 1 << 16 && s->tile_rows <= 1 << 16 &&
         s->dim <= 1 << 16;
}

}  // namespace

int main(int argc, char** argv) {
  constexpr char kUsage[] =
      "Usage: tile_sgemm [--block_probes B] [--tile_rows N] [--dim K] "
      "[--seconds S]\n";
  if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 ||
                    std::strcmp(argv[1], "--help") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Shape shape;
  if (!ParseArguments(argc, argv, &shape)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (openblas_get_config != nullptr) {
    std::printf("blas=\"%s\"\n", openblas_get_config());
  }
  PrintRates(shape);
  PrintDeterminism(shape);
  return 0;
}
