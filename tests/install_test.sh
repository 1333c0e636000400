#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses it from there, away
# from the checkout: every program and Python tool is in bin/, the example
# experiment evaluates, the fast route matches the reference byte for byte,
# the Python tools find their package, and the manual page renders.
#
#   bash tests/install_test.sh CMAKE BUILD_DIR
set -euo pipefail
cmake=$1
build=$(cd "$2" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/fuse_results_install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() {
  echo "install_test: $*" >&2
  exit 1
}

unset DESTDIR PYTHONPATH
export PYTHONDONTWRITEBYTECODE=1
"$cmake" --install "$build" --prefix "$tmp" >"$tmp/install.log" ||
  fail "cmake --install failed: $(cat "$tmp/install.log")"
for program in fuse_results fuse_results_sort_everything make_experiment \
    make_features score_features mat_tool fuse_results_summarize fuse_results_plot \
    fuse_results_npy_to_mat; do
  [ -x "$tmp/bin/$program" ] || fail "bin/$program is not installed"
done
# The MPI program is installed wherever it was built.
if [ -x "$build/mpi/fuse_results_mpi" ] && [ ! -x "$tmp/bin/fuse_results_mpi" ]; then
  fail "bin/fuse_results_mpi is not installed"
fi

# Everything below runs from the prefix, with the checkout out of reach.
cd "$tmp"
bin/make_experiment --out ex --probes 200 --subjects 40 --distractors 2000 \
  >/dev/null
args=(ex/distractor_scores.mat ex/probe_scores.mat ex/probe_info.json 2000)
bin/fuse_results "${args[@]}" ex/results.json ex/match_results.json \
  >ex/stdout || fail "fuse_results failed with status $?"
grep -q '^Rank 1: 0\.[0-9]' ex/stdout || fail "no rank-1 line: $(cat ex/stdout)"
bin/fuse_results_sort_everything "${args[@]}" ex/sorted_results.json \
  ex/sorted_match_results.json >/dev/null ||
  fail "fuse_results_sort_everything failed"
cmp ex/results.json ex/sorted_results.json ||
  fail "results differ from the reference"
cmp ex/match_results.json ex/sorted_match_results.json ||
  fail "match results differ from the reference"

summary=$(bin/fuse_results_summarize ex/results.json) ||
  fail "fuse_results_summarize failed"
grep -q '^| results\.json | 0\.[0-9]' <<<"$summary" ||
  fail "no row for results.json in the summary: $summary"
bin/fuse_results_plot --help >/dev/null || fail "fuse_results_plot failed"

# A NumPy array through the installed converter and back through mat_tool:
# 2 rows, 3 columns, 12 bytes a row, type code 5 (32-bit float).
/usr/bin/python3 -c 'import numpy as np
np.save("a.npy", np.arange(6, dtype=np.float32).reshape(2, 3))'
bin/fuse_results_npy_to_mat a.npy a.mat 2>/dev/null ||
  fail "fuse_results_npy_to_mat failed"
read -r rows cols step type _ < <(bin/mat_tool a.mat)
[ "$rows $cols $step $type" = "2 3 12 5" ] ||
  fail "a.mat is $rows x $cols, step $step, type $type"

page=share/man/man1/fuse_results.1
[ -f "$page" ] || fail "$page is not installed"
if command -v man >/dev/null; then
  MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q 'EXIT STATUS' ||
    fail "$page does not render"
fi
echo "install_test: the installed programs and tools work from $tmp"
