"""Plots of results files: identification CMC with distractors, traditional
CMC and verification ROC side by side, one labelled line per file."""

import argparse
import io
import os
import sys

import numpy as np
import matplotlib

matplotlib.use("Agg")  # Files only; never a window.
from matplotlib.figure import Figure  # noqa: E402 (after the backend)

from . import cli  # noqa: E402
from .results import default_labels, load_results  # noqa: E402

FORMATS = ("png", "svg", "pdf")
FIGURE_INCHES = (15.0, 5.0)
# A floor for the false accept axis when no curve has a non-zero rate.
_FALLBACK_MIN_FAR = 1e-6

# (member, title, x label, y label) of each panel, left to right.
PANELS = (
    ("cmc", "Identification with distractors", "Rank", "Identification rate"),
    ("traditional_cmc", "Traditional identification", "Rank",
     "Identification rate"),
    ("roc", "Verification", "False accept rate", "True accept rate"),
)


def drawable(name, curve):
    """Returns the x and y to draw of one curve: finite points only, ranks
    counted from 1, and ROC points with a false accept rate of 0 dropped
    (the log axis has no place for them)."""
    curve = curve.finite()
    x, y = curve.x, curve.y
    if name == "roc":
        keep = x > 0
        return x[keep], y[keep]
    return x + 1, y


def draw(results, labels, dpi=100) -> Figure:
    """Returns the figure for `results` (curves by name, per file) labelled
    with `labels`. Curves are drawn as steps: a thinned curve keeps its
    value up to its next stored point."""
    figure = Figure(figsize=FIGURE_INCHES, dpi=dpi, layout="constrained")
    axes = figure.subplots(1, len(PANELS))
    for ax, (name, title, x_label, y_label) in zip(axes, PANELS):
        lowest_x, highest_x, drawn = np.inf, 1.0, 0
        for index, (curves, label) in enumerate(zip(results, labels)):
            x, y = drawable(name, curves[name])
            if x.size == 0:
                continue
            ax.plot(x, y, drawstyle="steps-post", color=f"C{index % 10}",
                    linewidth=1.6, label=label)
            lowest_x, highest_x = min(lowest_x, x.min()), max(highest_x,
                                                              x.max())
            drawn += 1
        ax.set_xscale("log")
        if name == "roc":
            ax.set_xlim(lowest_x if drawn else _FALLBACK_MIN_FAR, 1.0)
        else:
            ax.set_xlim(1.0, max(highest_x, 10.0))
        ax.set_ylim(0.0, 1.0)
        ax.set_title(f'{title} ("{name}")')
        ax.set_xlabel(x_label)
        ax.set_ylabel(y_label)
        ax.grid(True, which="major", alpha=0.45)
        ax.grid(True, which="minor", alpha=0.15)
        if drawn:
            ax.legend(loc="lower right", fontsize="small")
        else:
            ax.text(0.5, 0.5, "no points to draw", transform=ax.transAxes,
                    ha="center", va="center", color="0.4")
    return figure


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        prog="plot_results",
        description="Draws the identification CMC with distractors, the "
        "traditional CMC and the ROC of one or more results files into one "
        "picture (PNG, SVG or PDF by the output's extension).")
    parser.add_argument("results", nargs="+", help="results files (JSON)")
    parser.add_argument("-o", "--output", required=True,
                        help="picture to write: .png, .svg or .pdf")
    parser.add_argument("--label", nargs="+", action="extend",
                        help="line names, one per file (default: file names)")
    parser.add_argument("--dpi", type=int, default=100,
                        help="pixels per inch (100: a 1500 x 500 PNG)")
    args = parser.parse_args(argv)
    extension = os.path.splitext(args.output)[1].lower().lstrip(".")
    if extension not in FORMATS:
        parser.error(f"output {args.output!r} must end in .png, .svg or .pdf")
    if args.dpi <= 0:
        parser.error("--dpi must be positive")
    cli.check_labels(parser, args.label, args.results)
    results = [load_results(path) for path in args.results]
    for path, curves in zip(args.results, results):
        for name, _, _, _ in PANELS:
            if drawable(name, curves[name])[0].size == 0:
                print(f'plot_results: note: {path}: "{name}" has no point '
                      "to draw", file=sys.stderr)
    figure = draw(results, args.label or default_labels(args.results),
                  args.dpi)
    # Rendered in memory first, so a failure leaves no half-written file.
    picture = io.BytesIO()
    figure.savefig(picture, format=extension, dpi=args.dpi)
    with open(args.output, "wb") as file:
        file.write(picture.getvalue())
    return 0
