"""Results files: loading and checking them, and reading values off curves.

A results file is a JSON object with the members "cmc" (identification with
distractors), "roc" (verification) and "traditional_cmc", each a pair of
equal-length arrays ``[[x...], [y...]]``. CMC points are (rank index, rate)
with rank index 0 standing for rank 1; ROC points are (false accept rate,
true accept rate). A value that was not finite is stored as null.

The curves are thinned: a point is kept only where the rate rose by more
than 0.01. So the rate of a CMC at rank index k is that of the last stored
point with index <= k, and the ROC is read the same way at a false accept
rate: at the nearest stored point at or below it.
"""

import json
import math
import os
from typing import Dict, List, NamedTuple, Optional, Sequence

import numpy as np

CURVES = ("cmc", "traditional_cmc", "roc")


class ResultsError(ValueError):
    """A results file that cannot be used; the message names the file and
    fits on one line."""


class Curve(NamedTuple):
    """One curve's points in file order; NaN where the file holds null."""

    x: np.ndarray
    y: np.ndarray

    def finite(self) -> "Curve":
        """Returns the points whose two coordinates are both finite."""
        keep = np.isfinite(self.x) & np.isfinite(self.y)
        return Curve(self.x[keep], self.y[keep])


def load_results(path) -> Dict[str, Curve]:
    """Returns the three curves of the results file at `path`, by name.

    Raises ResultsError when the file cannot be read, is not valid JSON, is
    not an object, lacks one of "cmc", "roc" and "traditional_cmc" (a run
    leaves a curve out when it is empty, and the whole document is null when
    all are), or holds a curve that is not two equal-length arrays of
    numbers and nulls.
    """
    return parse_results(path, read_json(path))


def read_json(path):
    """Returns the JSON document in the file at `path`; raises ResultsError
    when the file cannot be read or is not valid JSON."""
    try:
        with open(path, "rb") as file:
            document = json.load(file)
    except OSError as error:
        raise ResultsError(f"{path}: cannot read: {error.strerror}") from None
    except ValueError as error:  # Also bad UTF-8.
        raise ResultsError(f"{path}: not valid JSON: {error}") from None
    except RecursionError:
        raise ResultsError(f"{path}: not valid JSON: nested too deeply") \
            from None
    return document


def parse_results(path, document) -> Dict[str, Curve]:
    """Returns the three curves of `document`, read from the file at `path`,
    with the checks of `load_results`."""
    if document is None:
        raise ResultsError(f"{path}: the document is null: the run had no "
                           "curve to write")
    if not isinstance(document, dict):
        raise ResultsError(f"{path}: expected a JSON object with "
                           f"{_names(CURVES)}, found {_kind(document)}")
    missing = [name for name in CURVES if name not in document]
    if len(missing) == len(CURVES) and "tar_at_far" in document:
        raise ResultsError(f"{path}: a summary file (exact operating "
                           "points), not a results file with curves")
    if missing:
        raise ResultsError(f"{path}: no {_names(missing)} curve (the run "
                           "leaves out curves that are empty)")
    return {name: _parse_curve(path, name, document[name]) for name in CURVES}


def _parse_curve(path, name: str, value) -> Curve:
    if not (isinstance(value, list) and len(value) == 2 and
            all(isinstance(inner, list) for inner in value)):
        raise ResultsError(f'{path}: "{name}" is not a pair of arrays '
                           "[[x...], [y...]]")
    xs, ys = value
    if len(xs) != len(ys):
        raise ResultsError(f'{path}: "{name}" has {len(xs)} x values but '
                           f"{len(ys)} y values")
    return Curve(_numbers(path, name, xs), _numbers(path, name, ys))


def _numbers(path, name: str, values: list) -> np.ndarray:
    for value in values:
        # bool is an int in Python but not a number in a results file.
        if value is not None and (isinstance(value, bool) or
                                  not isinstance(value, (int, float))):
            raise ResultsError(f'{path}: "{name}" holds {_kind(value)} '
                               f"{json.dumps(value)[:40]}, not a number")
    return np.array([math.nan if v is None else v for v in values],
                    dtype=np.float64)


def _names(names: Sequence[str]) -> str:
    quoted = [f'"{name}"' for name in names]
    if len(quoted) == 1:
        return quoted[0]
    return ", ".join(quoted[:-1]) + " and " + quoted[-1]


def _kind(value) -> str:
    if isinstance(value, list):
        return "an array"
    if isinstance(value, dict):
        return "an object"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, bool):
        return "a boolean"
    return "a number" if value is not None else "null"


def value_at_or_below(curve: Curve, x: float) -> Optional[float]:
    """Returns y of the last stored point whose x is at or below `x`.

    Points without a finite x are passed over; None when no point qualifies
    or when the qualifying point's y is null (the rate there is unknown, and
    an earlier point's rate would be wrong). Stored coordinates are 32-bit
    floats, so `x` is rounded to 32 bits first: a point stored at the float
    nearest 0.001 counts as being at 0.001.
    """
    limit = float(np.float32(x))
    best = None
    for px, py in zip(curve.x, curve.y):
        if math.isfinite(px) and px <= limit and (best is None or
                                                  px >= best[0]):
            best = (px, py)
    if best is None or not math.isfinite(best[1]):
        return None
    return float(best[1])


def default_labels(paths: Sequence[str]) -> List[str]:
    """Returns a label per path: its file name, or as many trailing path
    components as it takes for different paths to get different labels
    (``a/results.json`` and ``b/results.json``)."""
    parts = [os.path.normpath(os.fspath(p)).split(os.sep) for p in paths]
    depth = 1
    while True:
        labels = [os.sep.join(p[-depth:]) for p in parts]
        clashes = len(set(labels)) < len(set(map(tuple, parts)))
        if not clashes or depth >= max(len(p) for p in parts):
            return labels
        depth += 1
