"""Summary table of results files: a few rates read off the stored curves."""

import argparse
import csv
import io
import math
from typing import List, Optional, Sequence

from . import cli
from .results import default_labels, load_results, value_at_or_below

RANKS = (1, 10, 100)
FALSE_ACCEPT_RATES = (1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 1e-1)

NOTE = ("Identification rates with distractors at ranks 1, 10 and 100, the "
        "traditional rank-1 rate, and the true accept rate (TAR) at each "
        "false accept rate (FAR), read at the nearest stored point at or "
        "below each value; an empty cell means the curve has no point "
        "there.")


def header() -> List[str]:
    """Returns the column names."""
    far_names = [f"TAR@FAR<=1e-{-round(math.log10(far))}"
                 for far in FALSE_ACCEPT_RATES]
    return (["results"] + [f"rank-{rank}" for rank in RANKS] +
            ["traditional rank-1"] + far_names)


def summary_row(curves) -> List[Optional[float]]:
    """Returns the table's values for one file's curves (see `header`),
    None where the curve has no point."""
    values = [value_at_or_below(curves["cmc"], rank - 1) for rank in RANKS]
    values.append(value_at_or_below(curves["traditional_cmc"], 0))
    values += [value_at_or_below(curves["roc"], far)
               for far in FALSE_ACCEPT_RATES]
    return values


def format_markdown(labels: Sequence[str], rows) -> str:
    """Returns the note and a Markdown table, rates with four decimals."""
    def cell(value):
        return "" if value is None else f"{value:.4f}"
    lines = [NOTE, "", "| " + " | ".join(header()) + " |",
             "|---" + "|---:" * (len(header()) - 1) + "|"]
    for label, row in zip(labels, rows):
        cells = [label.replace("|", "\\|")] + [cell(v) for v in row]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def format_csv(labels: Sequence[str], rows) -> str:
    """Returns a CSV table with a header row and the values as stored."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(header())
    for label, row in zip(labels, rows):
        writer.writerow([label] + ["" if v is None else repr(v) for v in row])
    return out.getvalue()


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        prog="summarize_results",
        description="Prints rank-1/10/100 identification rates, the "
        "traditional rank-1 rate and true accept rates at false accept "
        "rates 1e-6 .. 1e-1 of one or more results files, one row each.")
    parser.add_argument("results", nargs="+", help="results files (JSON)")
    parser.add_argument("--format", choices=("markdown", "csv"),
                        default="markdown", help="table format (markdown)")
    parser.add_argument("--label", nargs="+", action="extend",
                        help="row names, one per file (default: file names)")
    args = parser.parse_args(argv)
    cli.check_labels(parser, args.label, args.results)
    rows = [summary_row(load_results(path)) for path in args.results]
    labels = args.label or default_labels(args.results)
    formatter = format_csv if args.format == "csv" else format_markdown
    print(formatter(labels, rows), end="")
    return 0
