#!/usr/bin/env bash
# Evaluates the bundled example experiment (scripts/example.sh) and draws its
# curves into docs/example_plot.png, the picture in the README.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/example.sh
mkdir -p docs
/usr/bin/python3 python/plot_results.py build/example/results.json \
  --label "example: 1,000 probes, 10,000 distractors" \
  -o docs/example_plot.png
echo "Plot: docs/example_plot.png" >&2
