#!/usr/bin/python3
"""summarize_results.py results.json [more.json ...] [--format markdown|csv]
[--label NAME ...]: a table of rank-1/10/100 identification rates, the
traditional rank-1 rate and true accept rates at fixed false accept rates."""

import sys

from fuse_tools import cli, summary

if __name__ == "__main__":
    sys.exit(cli.run("summarize_results", summary.main))
