"""Summary table of results and summary files, a row per file.

A summary file's row holds its exact figures. A results file's row is read
off its thinned curves (a point kept only where the rate rose by more than
0.01) at the nearest stored point at or below each rank or false accept
rate, so it may be low by up to 0.01; the note says which rows are which.
"""

import argparse
import csv
import io
import math
import sys
from typing import List, NamedTuple, Optional, Sequence

from . import cli
from .operating_points import OperatingPoints, load_either
from .results import default_labels, value_at_or_below

RANKS = (1, 10, 100)
FALSE_ACCEPT_RATES = (1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 1e-1)

INTRO = ("Identification rates with distractors at ranks 1, 10 and 100, the "
         "traditional rank-1 rate, the true accept rate (TAR) at each false "
         "accept rate (FAR) and the equal error rate (EER).")
EXACT = ("Exact figures from summary files ({}): the rate at each rank "
         "and the TAR at exactly each FAR; an empty cell there is a rank "
         "or FAR the file does not list (a FAR too small for the number of "
         "impostor pairs) or a rate that is not defined.")
THINNED = ("Figures read off the thinned curves of results files ({}) at the "
           "nearest stored point at or below each rank or FAR; the curves "
           "keep a point only where the rate rose by more than 0.01, so "
           "these figures may be low by up to 0.01. An empty cell there "
           "means the curve has no point, and the EER is only in summary "
           "files.")


class Row(NamedTuple):
    """One file's values (see `header`), None for an empty cell; `exact`
    when they come from a summary file."""

    values: List[Optional[float]]
    exact: bool


def header() -> List[str]:
    """Returns the column names. "TAR@FAR=" is the TAR at the FAR for a
    summary file and at the nearest stored point at or below for a results
    file."""
    far_names = [f"TAR@FAR=1e-{-round(math.log10(far))}"
                 for far in FALSE_ACCEPT_RATES]
    return (["results"] + [f"rank-{rank}" for rank in RANKS] +
            ["traditional rank-1"] + far_names + ["EER"])


def summary_row(curves) -> List[Optional[float]]:
    """Returns the table's values for one results file's curves (see
    `header`), None where the curve has no point and for the EER."""
    values = [value_at_or_below(curves["cmc"], rank - 1) for rank in RANKS]
    values.append(value_at_or_below(curves["traditional_cmc"], 0))
    values += [value_at_or_below(curves["roc"], far)
               for far in FALSE_ACCEPT_RATES]
    return values + [None]


def exact_row(points: OperatingPoints) -> List[Optional[float]]:
    """Returns the table's values for one summary file (see `header`), None
    where the file lists no such rank or FAR or holds null. FARs match by
    value: 1e-06 in the file is the column for 1e-6."""
    values = [points.identification_rate.get(rank) for rank in RANKS]
    values.append(points.traditional_rate.get(1))
    values += [points.tar_at_far.get(far) for far in FALSE_ACCEPT_RATES]
    return values + [points.equal_error_rate]


def file_row(path) -> Row:
    """Returns the row of the results or summary file at `path`."""
    loaded = load_either(path)
    if isinstance(loaded, OperatingPoints):
        return Row(exact_row(loaded), True)
    return Row(summary_row(loaded), False)


def _which(labels: Sequence[str], rows: int) -> str:
    """Returns which rows of a table of `rows` rows the list `labels` names,
    in words."""
    if len(labels) == rows:
        return "all rows"
    return ("row " if len(labels) == 1 else "rows ") + ", ".join(labels)


def notes(labels: Sequence[str], rows: Sequence[Row]):
    """Returns a sentence about the exact rows and one about the rows read
    off curves, each None when there are no such rows."""
    exact = [label for label, row in zip(labels, rows) if row.exact]
    thinned = [label for label, row in zip(labels, rows) if not row.exact]
    return (EXACT.format(_which(exact, len(rows))) if exact else None,
            THINNED.format(_which(thinned, len(rows))) if thinned else None)


def format_markdown(labels: Sequence[str], rows: Sequence[Row]) -> str:
    """Returns the note and a Markdown table: exact rates with six
    decimals, rates read off curves with four."""
    note = " ".join(n for n in (INTRO, *notes(labels, rows)) if n)
    lines = [note, "", "| " + " | ".join(header()) + " |",
             "|---" + "|---:" * (len(header()) - 1) + "|"]
    for label, row in zip(labels, rows):
        digits = 6 if row.exact else 4
        cells = [label.replace("|", "\\|")] + [
            "" if v is None else f"{v:.{digits}f}" for v in row.values]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def format_csv(labels: Sequence[str], rows: Sequence[Row]) -> str:
    """Returns a CSV table with a header row and the values as stored (the
    shortest text that reads back as the same double)."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(header())
    for label, row in zip(labels, rows):
        writer.writerow([label] + ["" if v is None else repr(v)
                                   for v in row.values])
    return out.getvalue()


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        prog="summarize_results",
        description="Prints rank-1/10/100 identification rates, the "
        "traditional rank-1 rate, true accept rates at false accept rates "
        "1e-6 .. 1e-1 and the equal error rate of results files (read off "
        "their thinned curves, possibly low by up to 0.01) or summary files "
        "(exact), one row each; the kind of each file is told by its "
        "content. With --format csv, a note on standard error names the "
        "rows read off curves.")
    parser.add_argument("results", nargs="+", metavar="FILE",
                        help="results or summary files (JSON)")
    parser.add_argument("--format", choices=("markdown", "csv"),
                        default="markdown", help="table format (markdown)")
    parser.add_argument("--label", nargs="+", action="extend",
                        help="row names, one per file (default: file names)")
    args = parser.parse_args(argv)
    cli.check_labels(parser, args.label, args.results)
    rows = [file_row(path) for path in args.results]
    labels = args.label or default_labels(args.results)
    if args.format == "csv":
        print(format_csv(labels, rows), end="")
        thinned = notes(labels, rows)[1]
        if thinned:  # Standard output stays plain CSV.
            print(f"summarize_results: note: {thinned}", file=sys.stderr)
    else:
        print(format_markdown(labels, rows), end="")
    return 0
