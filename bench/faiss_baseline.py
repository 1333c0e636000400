#!/usr/bin/python3
"""Baseline timings for scoring probes against distractors by inner product.

Exact k-nearest-neighbour search with FAISS's flat inner-product index over
the distractors, for comparison with the project's own scoring:

    faiss_baseline.py --probes P.npy --distractors D.npy [--k 5] [--repeat R]

prints one line of key=value pairs:

    faiss_add_s=0.21 faiss_search_s=6.41 gflops=110.2 threads=2 probes=3500
    distractors=200000 dim=512 k=5

faiss_add_s is the time to add the distractors to the index and
faiss_search_s the time of index.search(probes, k), each the best of R runs
(default 1; the add runs into a fresh index each time). gflops is
2 x probes x distractors x dim / faiss_search_s, the rate of the score
products the search has to do; threads is FAISS's OpenMP thread count
(set OMP_NUM_THREADS to change it).

    faiss_baseline.py --probes P.npy --sgemm [--repeat R]

estimates the machine's float32 matrix-product rate through NumPy's BLAS
instead: the product of the probes (probes x dim) by a random dim x 20000
block, best of max(R, 3) runs, printed as

    sgemm_gflops=121.4 probes=3500 dim=512 cols=20000

Both arrays are .npy files of one row per vector (e.g. make_features's
probe_features.npy and distractor_features.npy); they are memory-mapped and
made contiguous float32. Needs Debian's python3-numpy and python3-faiss.
Exit status 0; 1 with a message when a file cannot be used; 2 on bad
arguments.
"""

import argparse
import sys
import time

import numpy as np

SGEMM_COLS = 20000


def load_rows(path):
    """The 2-D array in `path` as C-contiguous float32 (copied only if
    needed)."""
    try:
        array = np.load(path, mmap_mode="r")
    except (OSError, ValueError) as error:
        sys.exit(f"faiss_baseline: cannot load {path}: {error}")
    if array.ndim != 2:
        sys.exit(f"faiss_baseline: {path} holds a {array.ndim}-D array, "
                 "not rows of vectors")
    return np.ascontiguousarray(array, dtype=np.float32)


def best_time(run, repeat):
    """The shortest wall time of `repeat` calls of run()."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def faiss_search(probes, distractors, k, repeat):
    import faiss  # Only this mode needs it.

    dim = probes.shape[1]
    index = None

    def add():
        nonlocal index
        index = faiss.IndexFlatIP(dim)
        index.add(distractors)

    add_s = best_time(add, repeat)
    search_s = best_time(lambda: index.search(probes, k), repeat)
    flops = 2.0 * probes.shape[0] * distractors.shape[0] * dim
    print(f"faiss_add_s={add_s:.3f} faiss_search_s={search_s:.3f} "
          f"gflops={flops / search_s / 1e9:.1f} "
          f"threads={faiss.omp_get_max_threads()} "
          f"probes={probes.shape[0]} distractors={distractors.shape[0]} "
          f"dim={dim} k={k}")


def sgemm(probes, repeat):
    dim = probes.shape[1]
    block = np.random.default_rng(1).standard_normal(
        (dim, SGEMM_COLS), dtype=np.float32)
    out = np.empty((probes.shape[0], SGEMM_COLS), dtype=np.float32)
    seconds = best_time(lambda: np.matmul(probes, block, out=out),
                        max(repeat, 3))
    flops = 2.0 * probes.shape[0] * dim * SGEMM_COLS
    print(f"sgemm_gflops={flops / seconds / 1e9:.1f} "
          f"probes={probes.shape[0]} dim={dim} cols={SGEMM_COLS}")


def main():
    parser = argparse.ArgumentParser(
        description="Time FAISS's exact inner-product search, or NumPy's "
        "sgemm, on probe and distractor vectors.")
    parser.add_argument("--probes", required=True, help="probes .npy file")
    parser.add_argument("--distractors", help="distractors .npy file")
    parser.add_argument("--k", type=int, default=5,
                        help="neighbours per probe (default 5)")
    parser.add_argument("--repeat", type=int, default=1,
                        help="runs timed, the best kept (default 1)")
    parser.add_argument("--sgemm", action="store_true",
                        help="time NumPy's float32 matrix product instead")
    args = parser.parse_args()
    if args.k < 1 or args.repeat < 1:
        parser.error("--k and --repeat must be at least 1")
    if not args.sgemm and args.distractors is None:
        parser.error("--distractors is required without --sgemm")

    probes = load_rows(args.probes)
    if args.sgemm:
        sgemm(probes, args.repeat)
        return
    distractors = load_rows(args.distractors)
    if distractors.shape[1] != probes.shape[1]:
        sys.exit(f"faiss_baseline: probes have {probes.shape[1]} dimensions, "
                 f"distractors {distractors.shape[1]}")
    faiss_search(probes, distractors, args.k, args.repeat)


if __name__ == "__main__":
    main()
