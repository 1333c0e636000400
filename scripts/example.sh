#!/usr/bin/env bash
# Sets up and builds, generates the example experiment (1,000 probes of 200
# subjects against 10,000 distractors) and evaluates it. The results stay in
# build/example/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh >/dev/null
out=build/example
mkdir -p "$out"
build/tools/make_experiment --out "$out"
build/driver/fuse_results "$out/distractor_scores.mat" \
  "$out/probe_scores.mat" "$out/probe_info.json" 10000 \
  "$out/results.json" "$out/match_results.json"
echo "Results: $out/results.json and $out/match_results.json" >&2
