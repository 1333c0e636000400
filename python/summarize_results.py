#!/usr/bin/python3
"""summarize_results.py FILE [FILE ...] [--format markdown|csv]
[--label NAME ...]: a table of rank-1/10/100 identification rates, the
traditional rank-1 rate, true accept rates at fixed false accept rates and
the equal error rate, a row per results file (read off its thinned curves)
or summary file (exact figures)."""

import sys

from fuse_tools import cli, summary

if __name__ == "__main__":
    sys.exit(cli.run("summarize_results", summary.main))
