#!/usr/bin/env bash
# Builds the fuzz targets in fuzz/ (clang, libFuzzer with AddressSanitizer
# and UndefinedBehaviorSanitizer) in build-fuzz/, writes their seed corpora
# into build-fuzz/corpus/<target>/ and runs every target on it.
#
#   bash scripts/fuzz.sh                 smoke run: 100,000 inputs per target
#   bash scripts/fuzz.sh --runs N        N inputs per target
#   bash scripts/fuzz.sh --long [SECS]   SECS seconds per target (600)
#
# New inputs that reach new code are kept in the corpus for the next run.
# Any crash, leak, hang (10 s), allocation of 16 MB or more, or broken
# contract fails the script; the input that caused it is left in
# build-fuzz/artifacts/<target>/ and is replayed with
#   build-fuzz/fuzz/<target>_fuzzer build-fuzz/artifacts/<target>/<file>
set -euo pipefail
cd "$(dirname "$0")/.."

limit=(-runs=100000)
case "${1:-}" in
  "") ;;
  --runs) limit=(-runs="${2:?--runs needs a count}") ;;
  --long) limit=(-max_total_time="${2:-600}") ;;
  *) echo "usage: $0 [--runs N | --long [SECONDS]]" >&2; exit 2 ;;
esac

targets=(mat_row_stream npy_read mat_read mat_partial_read mat_stream_read
         json_inputs)
build=build-fuzz
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
  -DFUSE_RESULTS_BUILD_FUZZERS=ON -DFUSE_RESULTS_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/%/_fuzzer}" >/dev/null
python3 fuzz/make_seeds.py "$build/corpus"

# A matrix input is at most 64 KiB, so even the reader's largest
# legitimate allocation stays far below the 16 MB limit.
for target in "${targets[@]}"; do
  options=(-timeout=10 -malloc_limit_mb=16 -rss_limit_mb=2048
           -print_final_stats=1)
  if [ "$target" = json_inputs ]; then
    options+=(-max_len=8192 -dict=fuzz/json.dict)
  else
    options+=(-max_len=65536)
  fi
  mkdir -p "$build/artifacts/$target"
  log="$build/artifacts/$target.log"
  start=$SECONDS
  if ! "$build/fuzz/${target}_fuzzer" "${options[@]}" "${limit[@]}" \
      -artifact_prefix="$build/artifacts/$target/" \
      "$build/corpus/$target" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz: $target FAILED; input kept in $build/artifacts/$target/" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "fuzz: $target: $runs inputs, no finding ($((SECONDS - start)) s)"
done
