#!/usr/bin/python3
"""plot_results.py results.json [more.json ...] -o out.png|svg|pdf
[--label NAME ...]: the identification CMC with distractors, the traditional
CMC and the ROC of every file in one picture, one labelled line per file."""

import sys

from fuse_tools import cli, plot

if __name__ == "__main__":
    sys.exit(cli.run("plot_results", plot.main))
