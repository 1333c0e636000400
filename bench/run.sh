#!/usr/bin/env bash
# Whole-run benchmark of fuse_results at realistic sizes.
#
#   bash bench/run.sh [--sizes small|all] [--mpi-only | --features-only]
#                     [--dir DIR] [--features-dir DIR] [--build DIR]
#
# Builds the project in Release with the benchmarks (in build-bench/ of the
# checkout, or the --build folder), generates each experiment with
# make_experiment into DIR (default ${TMPDIR:-/tmp}/fuse_results_bench;
# files already there with the right size are reused), and prints for each
# size, best of N runs:
#   - the wall time of reading the distractor file once (cat, warm cache):
#     the floor for a tool that reads its input once;
#   - wall time and peak resident memory of fuse_results, and its time as a
#     multiple of the read (the best of N runs and of the N + 2 runs without
#     --summary below);
#   - the cost of --summary: alternating runs without and with it, best
#     of each, and the difference in percent;
#   - from the best run without it (FUSE_RESULTS_TIMING=1): the wall time of
#     the pass over the distractor scores, the run's fixed costs (its wall
#     time minus the pass's) and the cores busy during the pass (CPU time
#     over wall time);
#   - the same for fuse_results_sort_everything (the plain full sorts), where
#     it fits in memory, the speed-up of fuse_results over it, and whether
#     both wrote byte-identical result files.
# Each of these runs, and each read, is timed by bench/time_command: wall
# time from the start of the process to the return of its wait, and the
# peak resident set the kernel reports for it. Its floor (what it measures
# for 'true') is printed first.
# A Markdown table of every figure follows, then the row scan
# microbenchmarks. Nothing is deleted; the last line says how to remove DIR.
#
# With --sizes all, or alone with --mpi-only, and where CMake found MPI
# (Open MPI's mpirun), the MPI section runs fuse_results_mpi on the 2.8 GB
# experiment with 1 and 2 ranks (and 1 rank not bound to a core) next to
# fuse_results, alternating, best of 5, and prints for each: wall time and
# its multiple of the read, rank 0's own total and pass (FUSE_RESULTS_TIMING),
# each rank's share of the file and its read rate (share bytes over rank
# 0's pass), peak resident memory of every rank (GNU time on each rank),
# and whether the result files are byte-identical to fuse_results'.
#
# With --sizes all, or alone with --features-only, the features section
# evaluates from feature files (fuse_results --features, cosine), on
# synthetic 512-dimension features that make_features writes into
# --features-dir (default ${TMPDIR:-/tmp}/fuse_features_bench; reused when
# made with the same flags), and prints:
#   - at 1k probes x 20k distractors: whether score_features followed by
#     fuse_results on the score files writes byte-identical result files to
#     fuse_results --features, for each metric;
#   - tile_sgemm: the rate of the program's product shape (block of probes
#     x 1,024 rows x 512) on one thread, on two threads at once and as one
#     call on two BLAS threads, and how many scores change bits when the
#     same pairs are computed in products of other shapes;
#   - at 3.5k x 200k: the BLAS's sgemm rate through NumPy, then alternating
#     rounds (5) of fuse_results --features end to end and of FAISS's exact
#     inner-product search for the best 5 (bench/faiss_baseline.py, Debian's
#     python3-faiss) on the same .npy files: best and median of each, their
#     ratio, the pass time (FUSE_RESULTS_TIMING) and the effective GFLOP/s
#     (2 x probes x distractors x dim over the wall time and over the pass);
#   - at 3.5k x 1M (2 GB of features): a warm read of the feature file (cat)
#     and fuse_results --features, best of 3: wall time, its multiple of
#     the read, pass, GFLOP/s and peak resident memory (GNU time -v);
# then a Markdown table of these figures.
set -euo pipefail

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
}

sizes=small
mpi_only=no
features_only=no
dir="${TMPDIR:-/tmp}/fuse_results_bench"
features_dir="${TMPDIR:-/tmp}/fuse_features_bench"
build=""
while [ $# -gt 0 ]; do
  case "$1" in
    --mpi-only) mpi_only=yes; shift ;;
    --features-only) features_only=yes; shift ;;
    --features-dir) features_dir="${2:?--features-dir needs a folder}"
                    shift 2 ;;
    --features-dir=*) features_dir="${1#--features-dir=}"; shift ;;
    --build) build="${2:?--build needs a folder}"; shift 2 ;;
    --build=*) build="${1#--build=}"; shift ;;
    --sizes) sizes="${2:?--sizes needs small or all}"; shift 2 ;;
    --sizes=*) sizes="${1#--sizes=}"; shift ;;
    --dir) dir="${2:?--dir needs a folder}"; shift 2 ;;
    --dir=*) dir="${1#--dir=}"; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "bench/run.sh: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
  esac
done
case "$sizes" in
  small|all) ;;
  *) echo "bench/run.sh: --sizes must be small or all, not '$sizes'" >&2
     exit 2 ;;
esac
if [ "$mpi_only" = yes ] && [ "$features_only" = yes ]; then
  echo "bench/run.sh: --mpi-only and --features-only exclude each other" >&2
  exit 2
fi
# Whether the features section runs.
features=no
{ [ "$sizes" = all ] || [ "$features_only" = yes ]; } && features=yes

repo="$(cd "$(dirname "$0")/.." && pwd)"
build="${build:-$repo/build-bench}"
case "$build" in /*) ;; *) build="$PWD/$build" ;; esac
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"
if [ "$features" = yes ]; then
  mkdir -p "$features_dir"
  features_dir="$(cd "$features_dir" && pwd)"
fi

# --- Build ------------------------------------------------------------------

bash "$repo/scripts/setup.sh"
build_log="$dir/build.log"
echo "Building (Release, benchmarks on) in $build; log: $build_log"
# The MPI section runs with --sizes all or --mpi-only, where CMake found
# MPI and so made fuse_results_mpi a target.
targets=(fuse_results make_experiment time_command)
if [ "$features_only" = yes ]; then
  targets=(fuse_results time_command)
elif [ "$mpi_only" = no ]; then
  targets=(fuse_results fuse_results_sort_everything make_experiment
           row_scan_benchmark time_command)
fi
[ "$features" = yes ] &&
  targets+=(make_features score_features tile_sgemm)
mpi_built=no
if ! { cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release \
         -DFUSE_RESULTS_BUILD_BENCHMARKS=ON &&
       cmake --build "$build" --target help >"$dir/.targets"; } \
     >"$build_log" 2>&1; then
  tail -n 30 "$build_log" >&2
  echo "bench/run.sh: configuring the build failed (log: $build_log)" >&2
  exit 1
fi
if [ "$features_only" = no ] &&
   { [ "$sizes" = all ] || [ "$mpi_only" = yes ]; } &&
   grep -q 'fuse_results_mpi' "$dir/.targets"; then
  targets+=(fuse_results_mpi)
  mpi_built=yes
fi
rm -f "$dir/.targets"
if ! cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" \
     >>"$build_log" 2>&1; then
  tail -n 30 "$build_log" >&2
  echo "bench/run.sh: the build failed (log: $build_log)" >&2
  exit 1
fi
single_bin="$build/driver/fuse_results"
timer="$build/bench/time_command"
sort_bin="$build/reference/fuse_results_sort_everything"
generator="$build/tools/make_experiment"
micro_bin="$build/bench/row_scan_benchmark"
mpi_bin="$build/mpi/fuse_results_mpi"
features_generator="$build/tools/make_features"
score_features_bin="$build/features/score_features"
tile_bin="$build/bench/tile_sgemm"
faiss_script="$repo/bench/faiss_baseline.py"

# --- Helpers ----------------------------------------------------------------

# Seconds since the epoch with microseconds (bash 5), else from date.
now() {
  if [ -n "${EPOCHREALTIME:-}" ]; then
    echo "${EPOCHREALTIME/,/.}"
  else
    date +%s.%N
  fi
}

# Arithmetic on decimals.
calc() { awk "BEGIN { printf \"%.${2:-3}f\", $1 }"; }

mem_available_kb() { awk '/^MemAvailable:/ { print $2 }' /proc/meminfo; }
disk_available_kb() { df -Pk "$dir" | awk 'NR == 2 { print $4 }'; }
file_bytes() { if [ -f "$1" ]; then stat -c %s "$1"; else echo 0; fi; }
gb() { calc "$1 / 1e9" "${2:-2}"; }
mb_from_kb() { calc "$1 / 1024" 0; }
load_average() { cut -d' ' -f1-3 /proc/loadavg; }

# time_runs N LOG CMD...: runs CMD N times under the timer with its output
# in LOG; sets best_s (the least wall time) and peak_kb (the largest peak
# resident set of the runs). Returns the status of the first failing run.
time_runs() {
  local n="$1" log="$2"
  shift 2
  local stats="$dir/.time_stats" wall rss i
  best_s=""
  peak_kb=0
  for ((i = 0; i < n; i++)); do
    if ! "$timer" "$stats" "$@" >"$log" 2>&1; then
      return 1
    fi
    read -r wall rss _ <"$stats"
    if [ -z "$best_s" ] || awk "BEGIN { exit !($wall < $best_s) }"; then
      best_s="$(calc "$wall")"
    fi
    [ "$rss" -gt "$peak_kb" ] && peak_kb="$rss"
  done
  rm -f "$stats"
  return 0
}

# best_read FILE: least wall time of three reads of FILE by cat (cache
# warmed by one untimed read first), under the same timer, into read_s.
best_read() {
  local stats="$dir/.time_stats" wall i
  cat "$1" >/dev/null
  read_s=""
  for ((i = 0; i < 3; i++)); do
    if ! "$timer" "$stats" cat "$1" >/dev/null; then
      echo "bench/run.sh: reading $1 failed" >&2
      exit 1
    fi
    read -r wall _ <"$stats"
    if [ -z "$read_s" ] || awk "BEGIN { exit !($wall < $read_s) }"; then
      read_s="$(calc "$wall")"
    fi
  done
  rm -f "$stats"
}

# --- The sizes --------------------------------------------------------------

# label probes subjects distractors runs
size_list=("1k x 100k|1000|200|100000|3")
if [ "$mpi_only" = yes ] || [ "$features_only" = yes ]; then
  size_list=()
elif [ "$sizes" = all ]; then
  size_list+=("3.5k x 200k|3500|80|200000|3"
              "3.5k x 1M|3500|80|1000000|3")
fi

echo "Bench folder: $dir"
[ "$features" = yes ] && echo "Features folder: $features_dir"
echo "Machine: $(nproc) cores, $(mb_from_kb "$(mem_available_kb)") MiB available," \
  "$(gb "$(( $(disk_available_kb) * 1024 ))" 1) GB free disk;" \
  "load average $(load_average); $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "Times are wall seconds, best of N runs; memory is peak resident set."
# What the timer adds: the least it measures for a program that does
# nothing.
floor_s=""
for ((i = 0; i < 5; i++)); do
  "$timer" "$dir/.time_stats" true
  read -r wall _ <"$dir/.time_stats"
  if [ -z "$floor_s" ] || awk "BEGIN { exit !($wall < $floor_s) }"; then
    floor_s="$wall"
  fi
done
rm -f "$dir/.time_stats"
echo "Timer (bench/time_command, around posix_spawn and wait4): $(calc "$floor_s * 1000" 1) ms for 'true'."
echo "Timings are noisy while other work runs on the machine (see the load average)."

table=()

# bench_program NAME BIN OUTDIR: times BIN on the current experiment (runs,
# paths and read time from the loop below), prints its line and adds its
# cells (time, x read, peak) to the row; leaves the best time in best_s.
bench_program() {
  local name=$1 bin=$2 out=$3 quiet=${4:-}
  mkdir -p "$out"
  if ! time_runs "$runs" "$out/output.txt" "$bin" "$dist" "$probe_mat" \
       "$info" "$distractors" "$out/results.json" "$out/match_results.json"
  then
    tail -n 20 "$out/output.txt" >&2
    echo "bench/run.sh: $name failed on $exp" >&2
    exit 1
  fi
  [ -n "$quiet" ] && return 0
  echo "$name: $best_s s, $(calc "$best_s / $read_s" 2) x the read," \
    "peak $(mb_from_kb "$peak_kb") MiB"
  row+=" | $best_s | $(calc "$best_s / $read_s" 2) | $(mb_from_kb "$peak_kb")"
}

# set_experiment PROBES SUBJECTS DISTRACTORS: the paths and sizes of that
# experiment (exp, dist, probe_mat, info, dist_bytes, probe_bytes,
# gen_args).
set_experiment() {
  probes=$1 subjects=$2 distractors=$3
  exp="$dir/p${probes}_s${subjects}_d${distractors}"
  dist="$exp/distractor_scores.mat"
  probe_mat="$exp/probe_scores.mat"
  info="$exp/probe_info.json"
  dist_bytes=$(( 16 + probes * distractors * 4 ))
  probe_bytes=$(( 16 + probes * probes * 4 ))
  gen_args="--probes $probes --subjects $subjects --distractors $distractors"
}

# ensure_experiment: reuses the current experiment's files or generates
# them; returns 1, having said why, when they would not fit on the disk.
ensure_experiment() {
  if [ "$(file_bytes "$dist")" -eq "$dist_bytes" ] &&
     [ "$(file_bytes "$probe_mat")" -eq "$probe_bytes" ] &&
     [ -s "$info" ] &&
     { [ ! -f "$exp/generated_with" ] ||
       [ "$(cat "$exp/generated_with")" = "$gen_args" ]; }; then
    echo "using the experiment already in $exp"
    return 0
  fi
  local have need free_bytes start
  have=$(( $(file_bytes "$dist") + $(file_bytes "$probe_mat") ))
  need=$(( dist_bytes + probe_bytes - have + 256 * 1024 * 1024 ))
  free_bytes=$(( $(disk_available_kb) * 1024 ))
  if [ "$need" -gt "$free_bytes" ]; then
    echo "skipped: generating needs $(gb "$need") GB of disk in $dir," \
      "only $(gb "$free_bytes") GB free"
    return 1
  fi
  echo "generating into $exp ($(gb "$need") GB needed," \
    "$(gb "$free_bytes") GB free)"
  mkdir -p "$exp"
  rm -f "$exp/generated_with"
  start="$(now)"
  # shellcheck disable=SC2086
  if ! "$generator" --out "$exp" $gen_args >"$exp/generate.log" 2>&1; then
    cat "$exp/generate.log" >&2
    echo "bench/run.sh: make_experiment failed" >&2
    exit 1
  fi
  echo "$gen_args" >"$exp/generated_with"
  echo "generated in $(calc "$(now) - $start" 1) s"
}

for entry in "${size_list[@]}"; do
  IFS='|' read -r label probes subjects distractors runs <<<"$entry"
  set_experiment "$probes" "$subjects" "$distractors"
  echo
  echo "== $label: $probes probes of $subjects subjects x $distractors" \
    "distractors ($(gb "$dist_bytes") GB distractor file), best of $runs"
  row="| $label | $(gb "$dist_bytes") GB"

  # What fuse_results needs beyond the page cache: the probe matrix, its
  # thresholds and per-thread tallies; generous, since it is small.
  single_need_kb=$(( (4 * probe_bytes + 512 * 1024 * 1024) / 1024 ))
  avail_kb="$(mem_available_kb)"
  if [ "$single_need_kb" -gt $(( avail_kb * 8 / 10 )) ]; then
    echo "skipped: fuse_results needs about $(mb_from_kb "$single_need_kb") MiB," \
      "more than 80% of the $(mb_from_kb "$avail_kb") MiB available"
    table+=("$row | skipped: memory | | | | | | | | | | | | |")
    continue
  fi

  if ! ensure_experiment; then
    table+=("$row | skipped: disk | | | | | | | | | | | | |")
    continue
  fi

  echo "load average before timing: $(load_average)"
  best_read "$dist"
  echo "read once (cat, warm cache, best of 3): $read_s s" \
    "($(calc "$dist_bytes / $read_s / 1e9" 2) GB/s)"
  row+=" | $read_s"

  single_out="$exp/fuse_results"
  bench_program fuse_results "$single_bin" "$single_out" quiet
  single_s="$best_s"
  single_peak_kb="$peak_kb"

  # Alternating runs, so that a change in the machine's load hits both.
  plain_best="" summary_best="" pass_s="" pass_cores=""
  for ((i = 0; i < runs + 2; i++)); do
    for with in no yes; do
      options=()
      [ "$with" = yes ] && options=(--summary "$single_out/summary.json")
      if ! FUSE_RESULTS_TIMING=1 time_runs 1 "$single_out/output.txt" \
           "$single_bin" \
           "${options[@]}" "$dist" "$probe_mat" "$info" "$distractors" \
           "$single_out/results.json" "$single_out/match_results.json"; then
        tail -n 20 "$single_out/output.txt" >&2
        echo "bench/run.sh: fuse_results ${options[*]} failed on $exp" >&2
        exit 1
      fi
      if [ "$with" = yes ]; then
        if [ -z "$summary_best" ] ||
           awk "BEGIN { exit !($best_s < $summary_best) }"; then
          summary_best="$best_s"
        fi
      elif [ -z "$plain_best" ] ||
           awk "BEGIN { exit !($best_s < $plain_best) }"; then
        plain_best="$best_s"
        pass_s="$(awk '/^timing: pass  / { print $3 / 1000 }' \
                  "$single_out/output.txt")"
        pass_cores="$(awk '/^timing: pass cpu/ { print $7 }' \
                      "$single_out/output.txt")"
      fi
    done
  done
  # The run's time: the best of every run of the same command, those of
  # bench_program (for the peak) and the alternation's runs without
  # --summary.
  wall_best="$single_s"
  if awk "BEGIN { exit !($plain_best < $wall_best) }"; then
    wall_best="$plain_best"
  fi
  echo "fuse_results: $wall_best s, $(calc "$wall_best / $read_s" 2) x the" \
    "read (best of $(( runs + runs + 2 )) runs), peak" \
    "$(mb_from_kb "$single_peak_kb") MiB"
  row+=" | $wall_best | $(calc "$wall_best / $read_s" 2)"
  row+=" | $(mb_from_kb "$single_peak_kb")"
  summary_cost="$(calc "($summary_best - $plain_best) / $plain_best * 100" 1)"
  echo "--summary: $summary_best s against $plain_best s without" \
    "(alternating, best of $(( runs + 2 )) each): ${summary_cost}%"
  row+=" | ${summary_cost}%"
  fixed_ms="$(calc "($plain_best - $pass_s) * 1000" 0)"
  echo "pass: $pass_s s of the best run's $plain_best s; fixed costs" \
    "${fixed_ms} ms; cores busy in the pass: $pass_cores"
  row+=" | $pass_s | $fixed_ms | $pass_cores"

  # The plain algorithms hold the matrix and a copy of it as lists (about
  # 2.2 x the file), plus the verification list of (score, label) pairs for
  # min(100, rows) rows, up to twice its size while it grows.
  impostor_rows=$(( probes < 100 ? probes : 100 ))
  sort_need=$(( dist_bytes * 22 / 10 + 16 * impostor_rows * distractors +
                probe_bytes ))
  avail_bytes=$(( $(mem_available_kb) * 1024 ))
  if [ "$sort_need" -gt $(( avail_bytes * 8 / 10 )) ]; then
    reason="needs about $(gb "$sort_need" 1) GB, more than 80% of the"
    reason+=" $(gb "$avail_bytes" 1) GB available"
    echo "fuse_results_sort_everything: skipped, it $reason"
    row+=" | skipped: $(gb "$sort_need" 1) GB needed | | | | |"
    table+=("$row")
    continue
  fi
  sort_out="$exp/fuse_results_sort_everything"
  bench_program fuse_results_sort_everything "$sort_bin" "$sort_out"
  sort_s="$best_s"
  if cmp -s "$single_out/results.json" "$sort_out/results.json" &&
     cmp -s "$single_out/match_results.json" "$sort_out/match_results.json"
  then
    identical=yes
  else
    identical=NO
  fi
  echo "speed-up of fuse_results: $(calc "$sort_s / $wall_best" 1) x;" \
    "result files byte-identical: $identical"
  row+=" | $(calc "$sort_s / $wall_best" 1) | $identical |"
  table+=("$row")
done

# --- MPI --------------------------------------------------------------------

# Per program of the MPI section: best wall time, and peak resident set of
# each rank over the runs (key "program:rank").
declare -A mpi_best_s mpi_peak_kb

# mpi_run_once NAME OUT RANKS LAUNCH...: one run of NAME on the current
# experiment with FUSE_RESULTS_TIMING=1, into OUT: fuse_results itself when
# RANKS is 0, else fuse_results_mpi under LAUNCH (the launcher and its
# options), each rank under GNU time. Keeps the output of NAME's best run
# in OUT/best_output.txt.
mpi_run_once() {
  local name=$1 out=$2 ranks=$3
  shift 3
  local start end wall rank kb
  local outputs=("$out/results.json" "$out/match_results.json")
  mkdir -p "$out"
  rm -f "$out"/.peak_kb.*
  start="$(now)"
  if [ "$ranks" -eq 0 ]; then
    FUSE_RESULTS_TIMING=1 /usr/bin/time -f '%M' -o "$out/.peak_kb.0" \
      "$single_bin" "$dist" "$probe_mat" "$info" "$distractors" \
      "${outputs[@]}" >"$out/output.txt" 2>&1
  else
    # shellcheck disable=SC2016  # expanded by each rank's shell
    FUSE_RESULTS_TIMING=1 "$@" -x FUSE_RESULTS_TIMING -np "$ranks" \
      sh -c 'exec /usr/bin/time -f %M -o "$0.$OMPI_COMM_WORLD_RANK" "$@"' \
      "$out/.peak_kb" "$mpi_bin" "$dist" "$probe_mat" "$info" \
      "$distractors" "${outputs[@]}" >"$out/output.txt" 2>&1
  fi || {
    tail -n 20 "$out/output.txt" >&2
    echo "bench/run.sh: $name failed on $exp" >&2
    exit 1
  }
  end="$(now)"
  wall="$(calc "$end - $start")"
  if [ -z "${mpi_best_s[$name]:-}" ] ||
     awk "BEGIN { exit !($wall < ${mpi_best_s[$name]}) }"; then
    mpi_best_s[$name]="$wall"
    cp "$out/output.txt" "$out/best_output.txt"
  fi
  for ((rank = 0; rank < (ranks > 0 ? ranks : 1); rank++)); do
    kb="$(tail -n 1 "$out/.peak_kb.$rank")"
    if [ "$kb" -gt "${mpi_peak_kb[$name:$rank]:-0}" ]; then
      mpi_peak_kb[$name:$rank]="$kb"
    fi
  done
  rm -f "$out"/.peak_kb.*
}

# mpi_section: fuse_results and fuse_results_mpi with 1 and 2 ranks on the
# 2.8 GB experiment, in alternating rounds so that a change in the
# machine's load hits every program.
mpi_section() {
  local mpirun version runs=5 round entry name ranks out
  echo
  echo "== MPI: fuse_results_mpi against fuse_results, 3.5k x 200k," \
    "best of $runs"
  mpirun="$(sed -n 's/^MPIEXEC_EXECUTABLE:FILEPATH=//p' \
            "$build/CMakeCache.txt")"
  [ -n "$mpirun" ] || mpirun="$(command -v mpirun || true)"
  version=""
  [ -n "$mpirun" ] && version="$("$mpirun" --version 2>&1 || true)"
  case "$version" in
    *"Open MPI"* | *OpenRTE* | *open-mpi*) ;;
    *) echo "skipped: the section runs Open MPI's launcher, not found"
       return 0 ;;
  esac
  set_experiment 3500 80 200000
  # Two ranks at a time, each at most what fuse_results needs.
  local need_kb=$(( 2 * (4 * probe_bytes + 512 * 1024 * 1024) / 1024 ))
  local avail_kb
  avail_kb="$(mem_available_kb)"
  if [ "$need_kb" -gt $(( avail_kb * 8 / 10 )) ]; then
    echo "skipped: two ranks need about $(mb_from_kb "$need_kb") MiB," \
      "more than 80% of the $(mb_from_kb "$avail_kb") MiB available"
    return 0
  fi
  ensure_experiment || return 0

  # name|output folder|ranks (0: fuse_results itself)|launcher options.
  # Open MPI binds each rank to one core when there are at most 2 ranks;
  # the run with --bind-to none shows what that costs a single rank.
  local launch=("$mpirun" --allow-run-as-root --oversubscribe)
  local programs=(
    "fuse_results|fuse_results|0|"
    "fuse_results_mpi -np 1|fuse_results_mpi_np1|1|"
    "fuse_results_mpi -np 1 --bind-to none|fuse_results_mpi_np1_unbound|1|--bind-to none"
    "fuse_results_mpi -np 2|fuse_results_mpi_np2|2|")
  echo "launcher: $mpirun --allow-run-as-root --oversubscribe [options] -np N"
  echo "load average before timing: $(load_average)"
  best_read "$dist"
  echo "read once (cat, warm cache, best of 3): $read_s s" \
    "($(calc "$dist_bytes / $read_s / 1e9" 2) GB/s)"
  local options
  for ((round = 0; round < runs; round++)); do
    for entry in "${programs[@]}"; do
      IFS='|' read -r name out ranks options <<<"$entry"
      # shellcheck disable=SC2086  # options split into words
      mpi_run_once "$name" "$exp/$out" "$ranks" "${launch[@]}" $options
    done
  done

  local rows=() wall best pass total outside cores share_cols share_bytes
  local rate peaks rank identical reference="$exp/fuse_results"
  for entry in "${programs[@]}"; do
    IFS='|' read -r name out ranks options <<<"$entry"
    wall="${mpi_best_s[$name]}"
    best="$exp/$out/best_output.txt"
    pass="$(awk '/^timing: pass  / { printf "%.3f", $3 / 1000 }' "$best")"
    total="$(awk '/^timing: total/ { printf "%.3f", $3 / 1000 }' "$best")"
    outside="$(awk '/^timing: total/ { printf "%.3f", $8 / 1000 }' "$best")"
    cores="$(awk '/^timing: pass cpu/ { print $7 }' "$best")"
    # Rank 0's share: columns [0, floor(n / N)) of every row; the other
    # ranks' shares differ from it by at most one column.
    share_cols=$(( ranks > 1 ? distractors / ranks : distractors ))
    share_bytes=$(( probes * share_cols * 4 ))
    rate="$(calc "$share_bytes / $pass / 1e9" 2)"
    peaks=""
    for ((rank = 0; rank < (ranks > 0 ? ranks : 1); rank++)); do
      peaks+="${peaks:+ / }$(mb_from_kb "${mpi_peak_kb[$name:$rank]}")"
    done
    identical="(reference)"
    if [ "$ranks" -gt 0 ]; then
      if cmp -s "$reference/results.json" "$exp/$out/results.json" &&
         cmp -s "$reference/match_results.json" \
                "$exp/$out/match_results.json"; then
        identical=yes
      else
        identical=NO
      fi
    fi
    echo "$name: $wall s, $(calc "$wall / $read_s" 2) x the read;" \
      "rank 0: total $total s, pass $pass s (cores busy $cores)," \
      "outside the pass $outside s; share $(gb "$share_bytes") GB per" \
      "rank, read at $rate GB/s; peak MiB per rank: $peaks;" \
      "result files byte-identical to fuse_results': $identical"
    rows+=("| $name | $wall | $(calc "$wall / $read_s" 2) | $total | $(calc "$wall - $total") | $pass | $outside | $cores | $(gb "$share_bytes") | $rate | $peaks | $identical |")
  done
  echo
  echo "Read once: $read_s s. Rank 0's figures come from FUSE_RESULTS_TIMING:"
  echo "total from its start to its last stage; pass from sending the plan"
  echo "to holding every rank's answers. Read rate per rank: rank 0's share"
  echo "(rows x share columns x 4 bytes) over that pass. Launch and finish:"
  echo "wall time - rank 0's total."
  echo
  echo "| program | wall (s) | x read | rank 0 total (s) | launch and finish (s) | pass on rank 0 (s) | outside the pass (s) | cores busy in rank 0's pass | share per rank (GB) | read rate per rank (GB/s) | peak MiB per rank | identical |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
  echo
  echo "load average after the MPI runs: $(load_average)"
}

# --- Features ---------------------------------------------------------------

# stats_of VALUES...: "best median" of the numbers given.
stats_of() {
  printf '%s\n' "$@" | sort -g | awk '
    { v[NR] = $1 }
    END {
      m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf "%.3f %.3f\n", v[1], m
    }'
}

# key_value KEY FILE: the value of the first KEY=value word in FILE.
key_value() {
  tr ' ' '\n' <"$2" | sed -n "s/^$1=//p" | head -n 1
}

# pass_seconds FILE: the pass's wall time in a FUSE_RESULTS_TIMING output.
pass_seconds() {
  awk '/^timing: pass  / { printf "%.3f", $3 / 1000 }' "$1"
}

# set_features PROBES SUBJECTS DISTRACTORS [MAKE_FEATURES FLAGS...]: the
# paths and sizes of that feature set (fexp, fdist, fprobe, finfo,
# fdist_bytes, fgen_args).
feature_dim=512
set_features() {
  fprobes=$1 fsubjects=$2 fdistractors=$3
  shift 3
  fexp="$features_dir/p${fprobes}_s${fsubjects}_d${fdistractors}"
  [ $# -gt 0 ] && fexp+="_$(printf '%s' "$*" | tr -dc 'a-z0-9_')"
  fdist="$fexp/distractor_features.npy"
  fprobe="$fexp/probe_features.npy"
  finfo="$fexp/probe_info.json"
  fdist_bytes=$(( fdistractors * feature_dim * 4 ))
  fgen_args="--probes $fprobes --subjects $fsubjects"
  fgen_args+=" --distractors $fdistractors --dim $feature_dim --seed 1"
  [ $# -gt 0 ] && fgen_args+=" $*"
  return 0
}

# ensure_features: reuses the current feature set when make_features wrote
# it with the same flags, else writes it; returns 1, having said why, when
# it would not fit on the disk.
ensure_features() {
  if [ -s "$fdist" ] && [ -s "$fprobe" ] && [ -s "$finfo" ] &&
     [ -f "$fexp/generated_with" ] &&
     [ "$(cat "$fexp/generated_with")" = "$fgen_args" ]; then
    echo "using the features already in $fexp"
    return 0
  fi
  local need free_bytes start
  need=$(( fdist_bytes - $(file_bytes "$fdist") +
           fprobes * feature_dim * 4 + 256 * 1024 * 1024 ))
  free_bytes=$(( $(df -Pk "$features_dir" | awk 'NR == 2 { print $4 }') * 1024 ))
  if [ "$need" -gt "$free_bytes" ]; then
    echo "skipped: the features need $(gb "$need") GB of disk in" \
      "$features_dir, only $(gb "$free_bytes") GB free"
    return 1
  fi
  echo "generating into $fexp"
  mkdir -p "$fexp"
  rm -f "$fexp/generated_with"
  start="$(now)"
  # shellcheck disable=SC2086
  if ! "$features_generator" --out "$fexp" $fgen_args \
       >"$fexp/generate.log" 2>&1; then
    cat "$fexp/generate.log" >&2
    echo "bench/run.sh: make_features failed" >&2
    exit 1
  fi
  echo "$fgen_args" >"$fexp/generated_with"
  echo "generated in $(calc "$(now) - $start" 1) s"
}

# features_run OUT METRIC: one run of fuse_results --features on the
# current feature set with FUSE_RESULTS_TIMING=1 under GNU time -v, its
# output in OUT/output.txt; sets run_s (wall, the shell's clock around the
# process), run_pass_s and run_peak_kb.
features_run() {
  local out=$1 metric=$2 start end
  mkdir -p "$out"
  start="$(now)"
  if ! FUSE_RESULTS_TIMING=1 /usr/bin/time -v -o "$out/time.txt" \
       "$single_bin" --features --metric "$metric" "$fdist" "$fprobe" \
       "$finfo" "$fdistractors" "$out/results.json" \
       "$out/match_results.json" >"$out/output.txt" 2>&1; then
    tail -n 20 "$out/output.txt" >&2
    echo "bench/run.sh: fuse_results --features failed on $fexp" >&2
    exit 1
  fi
  end="$(now)"
  run_s="$(calc "$end - $start")"
  run_pass_s="$(pass_seconds "$out/output.txt")"
  run_peak_kb="$(awk -F': ' '/Maximum resident set size/ { print $2 }' \
                 "$out/time.txt")"
}

# same_results A B: "yes" when folders A and B hold byte-identical result
# files, else "NO".
same_results() {
  if cmp -s "$1/results.json" "$2/results.json" &&
     cmp -s "$1/match_results.json" "$2/match_results.json"; then
    echo yes
  else
    echo NO
  fi
}

features_section() {
  local rounds=5 big_runs=3 metric out identical
  local ftable=() load_start
  load_start="$(load_average)"
  echo
  echo "== Features: fuse_results --features (cosine), ${feature_dim}" \
    "dimensions; features in $features_dir"
  echo "load average at the start: $load_start"

  # Same scores whichever way they travel: score files, then fuse_results on
  # them, against the evaluation straight from the features. --raw rows
  # (lengths in [1/2, 2]) make the three metrics rank differently.
  echo
  echo "-- score_features + fuse_results against fuse_results --features," \
    "1k x 20k"
  set_features 1000 200 20000 --raw
  if ensure_features; then
    identical=""
    for metric in cosine dot l2; do
      out="$fexp/scores_$metric"
      mkdir -p "$out"
      if ! "$score_features_bin" --metric "$metric" "$fdist" "$fprobe" \
           "$out/distractor_scores.mat" "$out/probe_scores.mat" \
           >"$out/score_features.txt" 2>&1 ||
         ! "$single_bin" "$out/distractor_scores.mat" \
           "$out/probe_scores.mat" "$finfo" "$fdistractors" \
           "$out/results.json" "$out/match_results.json" \
           >"$out/output.txt" 2>&1; then
        tail -n 20 "$out/score_features.txt" "$out/output.txt" >&2
        echo "bench/run.sh: score_features + fuse_results failed" >&2
        exit 1
      fi
      features_run "$fexp/features_$metric" "$metric"
      echo "$metric: result files byte-identical:" \
        "$(same_results "$out" "$fexp/features_$metric")"
      identical+="${identical:+, }$metric $(same_results "$out" \
                                           "$fexp/features_$metric")"
    done
    ftable+=("| score_features + fuse_results = fuse_results --features, 1k x 20k (--raw features) | $identical |")
  else
    ftable+=("| score_features + fuse_results = fuse_results --features | skipped: disk |")
  fi

  # The product on its own, on the shape the program uses: blocks as even
  # as 512 probes at most allow, for 3,500 probes.
  local p=3500 blocks block_probes
  blocks=$(( (p + 511) / 512 ))
  block_probes=$(( (p + blocks - 1) / blocks ))
  echo
  echo "-- tile_sgemm: product of ${block_probes} probes x 1024 rows x" \
    "${feature_dim} (load average $(load_average))"
  "$tile_bin" --block_probes "$block_probes" --tile_rows 1024 \
    --dim "$feature_dim" | tee "$features_dir/tile_sgemm.txt"
  local tile1 tile2 tile_blas2
  tile1="$(sed -n 's/^tile_1thread_gflops=//p' "$features_dir/tile_sgemm.txt")"
  tile2="$(sed -n 's/^tile_2threads_gflops=//p' "$features_dir/tile_sgemm.txt")"
  tile_blas2="$(sed -n 's/^tile_1call_2blas_threads_gflops=//p' \
                "$features_dir/tile_sgemm.txt")"

  # fuse_results --features against FAISS, alternating.
  echo
  echo "-- 3.5k x 200k: fuse_results --features against FAISS" \
    "IndexFlatIP search for the best 5, alternating, $rounds rounds"
  set_features 3500 80 200000
  ensure_features || { ftable+=("| 3.5k x 200k | skipped: disk |"); return 0; }
  local flops have_faiss=yes sgemm=""
  flops=$(( 2 * fprobes * fdistractors * feature_dim ))
  if ! /usr/bin/python3 -c 'import faiss, numpy' 2>/dev/null; then
    have_faiss=no
    echo "FAISS skipped: /usr/bin/python3 cannot import faiss and numpy" \
      "(Debian's python3-faiss)"
  fi
  cat "$fdist" "$fprobe" >/dev/null  # Warm the page cache for both.
  echo "load average before timing: $(load_average)"
  if [ "$have_faiss" = yes ]; then
    /usr/bin/python3 "$faiss_script" --probes "$fprobe" --sgemm --repeat 5 \
      | tee "$fexp/sgemm.txt"
    sgemm="$(key_value sgemm_gflops "$fexp/sgemm.txt")"
  fi
  local fuse_walls=() fuse_passes=() fuse_peak=0 faiss_walls=()
  local faiss_searches=() faiss_adds=() round order program start
  for ((round = 0; round < rounds; round++)); do
    # Each program goes first in every other round.
    order="fuse faiss"
    [ $(( round % 2 )) -eq 1 ] && order="faiss fuse"
    [ "$have_faiss" = yes ] || order="fuse"
    for program in $order; do
      if [ "$program" = fuse ]; then
        features_run "$fexp/fuse_results" cosine
        fuse_walls+=("$run_s")
        fuse_passes+=("$run_pass_s")
        [ "$run_peak_kb" -gt "$fuse_peak" ] && fuse_peak="$run_peak_kb"
        echo "round $((round + 1)): fuse_results --features $run_s s" \
          "(pass $run_pass_s s, $(awk '/^timing: pass cpu/ { print $7 }' \
          "$fexp/fuse_results/output.txt") cores busy)"
      else
        start="$(now)"
        if ! /usr/bin/python3 "$faiss_script" --probes "$fprobe" \
             --distractors "$fdist" --k 5 >"$fexp/faiss.txt" 2>&1; then
          cat "$fexp/faiss.txt" >&2
          echo "bench/run.sh: faiss_baseline.py failed" >&2
          exit 1
        fi
        faiss_walls+=("$(calc "$(now) - $start")")
        faiss_searches+=("$(key_value faiss_search_s "$fexp/faiss.txt")")
        faiss_adds+=("$(key_value faiss_add_s "$fexp/faiss.txt")")
        echo "round $((round + 1)): FAISS search ${faiss_searches[-1]} s" \
          "(add ${faiss_adds[-1]} s; whole script ${faiss_walls[-1]} s," \
          "$(key_value threads "$fexp/faiss.txt") threads)"
      fi
    done
  done
  echo "load average after the rounds: $(load_average)"
  local fuse_best fuse_median pass_best pass_median
  read -r fuse_best fuse_median < <(stats_of "${fuse_walls[@]}")
  read -r pass_best pass_median < <(stats_of "${fuse_passes[@]}")
  echo "fuse_results --features: best $fuse_best s, median $fuse_median s;" \
    "pass best $pass_best s, median $pass_median s;" \
    "peak $(mb_from_kb "$fuse_peak") MiB"
  local gflops_wall gflops_pass products_s
  gflops_wall="$(calc "$flops / $fuse_best / 1e9" 1)"
  gflops_pass="$(calc "$flops / $pass_best / 1e9" 1)"
  products_s="$(calc "$flops / ($tile2 * 1e9)" 2)"
  echo "effective rate (2 x $fprobes x $fdistractors x $feature_dim =" \
    "$(calc "$flops / 1e9" 1) GFLOP): $gflops_wall GFLOP/s over the wall" \
    "time, $gflops_pass GFLOP/s over the pass"
  echo "the products alone at the two-thread tile rate ($tile2 GFLOP/s):" \
    "$products_s s of the best pass's $pass_best s"
  ftable+=("| 3.5k x 200k: fuse_results --features, wall best / median (s) | $fuse_best / $fuse_median |")
  ftable+=("| 3.5k x 200k: its pass best / median (s) | $pass_best / $pass_median |")
  ftable+=("| 3.5k x 200k: GFLOP/s over the wall / over the pass | $gflops_wall / $gflops_pass |")
  ftable+=("| 3.5k x 200k: peak resident (MiB) | $(mb_from_kb "$fuse_peak") |")
  if [ "$have_faiss" = yes ]; then
    local search_best search_median faiss_best faiss_median add_best add_median
    read -r search_best search_median < <(stats_of "${faiss_searches[@]}")
    read -r faiss_best faiss_median < <(stats_of "${faiss_walls[@]}")
    read -r add_best add_median < <(stats_of "${faiss_adds[@]}")
    echo "FAISS search: best $search_best s, median $search_median s" \
      "($(calc "$flops / $search_best / 1e9" 1) GFLOP/s); add best" \
      "$add_best s, median $add_median s; whole script (start, load, add, search) best" \
      "$faiss_best s, median $faiss_median s"
    echo "fuse_results --features end to end / FAISS search alone:" \
      "$(calc "$fuse_best / $search_best" 2) (best), " \
      "$(calc "$fuse_median / $search_median" 2) (median);" \
      "/ FAISS's whole script: $(calc "$fuse_best / $faiss_best" 2) (best)," \
      "$(calc "$fuse_median / $faiss_median" 2) (median)"
    ftable+=("| 3.5k x 200k: FAISS IndexFlatIP search k=5, best / median (s) | $search_best / $search_median |")
    ftable+=("| 3.5k x 200k: FAISS search GFLOP/s (best) | $(calc "$flops / $search_best / 1e9" 1) |")
    ftable+=("| 3.5k x 200k: FAISS whole script (start, load, add, search), best / median (s) | $faiss_best / $faiss_median |")
    ftable+=("| ratio fuse_results end to end / FAISS search, best / median | $(calc "$fuse_best / $search_best" 2) / $(calc "$fuse_median / $search_median" 2) |")
    ftable+=("| ratio fuse_results end to end / FAISS whole script, best / median | $(calc "$fuse_best / $faiss_best" 2) / $(calc "$fuse_median / $faiss_median" 2) |")
    ftable+=("| sgemm through NumPy, 3500 x 512 x 20000, BLAS threads (GFLOP/s) | $sgemm |")
  fi
  ftable+=("| tile ${block_probes} x 1024 x ${feature_dim}: 1 thread / 2 threads at once / 1 call on 2 BLAS threads (GFLOP/s) | $tile1 / $tile2 / $tile_blas2 |")
  ftable+=("| 3.5k x 200k: the products alone at the 2-thread tile rate (s) | $products_s |")

  # A distractor file larger than the rest of the run's memory together.
  echo
  echo "-- 3.5k x 1M: fuse_results --features, best of $big_runs"
  set_features 3500 80 1000000
  if ! ensure_features; then
    ftable+=("| 3.5k x 1M | skipped: disk |")
  else
    echo "load average before timing: $(load_average)"
    best_read "$fdist"
    echo "read once (cat, warm cache, best of 3): $read_s s" \
      "($(calc "$fdist_bytes / $read_s / 1e9" 2) GB/s)" \
      "for $(gb "$fdist_bytes") GB"
    local big_best="" big_pass="" big_peak=0 i
    for ((i = 0; i < big_runs; i++)); do
      features_run "$fexp/fuse_results" cosine
      echo "run $((i + 1)): $run_s s (pass $run_pass_s s," \
        "peak $(mb_from_kb "$run_peak_kb") MiB)"
      [ "$run_peak_kb" -gt "$big_peak" ] && big_peak="$run_peak_kb"
      if [ -z "$big_best" ] || awk "BEGIN { exit !($run_s < $big_best) }"
      then
        big_best="$run_s"
        big_pass="$run_pass_s"
      fi
    done
    flops=$(( 2 * fprobes * fdistractors * feature_dim ))
    echo "fuse_results --features: $big_best s, $(calc "$big_best / $read_s" 1)" \
      "x the read; pass $big_pass s; $(calc "$flops / $big_best / 1e9" 1)" \
      "GFLOP/s over the wall time; peak $(mb_from_kb "$big_peak") MiB"
    echo "load average after: $(load_average)"
    ftable+=("| 3.5k x 1M: read of the $(gb "$fdist_bytes") GB feature file (cat, warm, s) | $read_s |")
    ftable+=("| 3.5k x 1M: fuse_results --features, best of $big_runs (s) / x the read | $big_best / $(calc "$big_best / $read_s" 1) |")
    ftable+=("| 3.5k x 1M: its pass (s) / GFLOP/s over the wall | $big_pass / $(calc "$flops / $big_best / 1e9" 1) |")
    ftable+=("| 3.5k x 1M: peak resident (MiB) | $(mb_from_kb "$big_peak") |")
  fi

  ftable+=("| load average (1, 5, 15 min) at the start / at the end | $load_start / $(load_average) |")
  echo
  echo "| measure | value |"
  echo "|---|---|"
  printf '%s\n' "${ftable[@]}"
}

# --- Summary ----------------------------------------------------------------

if [ "$mpi_only" = no ] && [ "$features_only" = no ]; then
  echo
  echo "| experiment | distractor file | read once (s) | fuse_results (s) | x read | peak MiB | --summary cost | pass (s) | fixed costs (ms) | cores in pass | sort_everything (s) | x read | peak MiB | speed-up | identical |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
  printf '%s\n' "${table[@]}"
  echo
  echo "load average after the runs: $(load_average)"
fi

if [ "$mpi_built" = yes ]; then
  mpi_section
elif [ "$features_only" = no ] &&
     { [ "$mpi_only" = yes ] || [ "$sizes" = all ]; }; then
  echo
  echo "MPI section skipped: CMake found no MPI, so fuse_results_mpi is not built"
fi

[ "$features" = yes ] && features_section

if [ "$mpi_only" = no ] && [ "$features_only" = no ] && [ -x "$micro_bin" ]
then
  echo
  echo "Row scan microbenchmarks ($micro_bin):"
  "$micro_bin"
fi

echo
echo "The experiments and outputs stay in $dir; remove them with: rm -r '$dir'"
[ "$features" = yes ] &&
  echo "The features stay in $features_dir; remove them with:" \
    "rm -r '$features_dir'"
exit 0
