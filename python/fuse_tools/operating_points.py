"""Summary files: the exact operating points fuse_results writes with
``--summary``, and telling them apart from results files.

A summary file is a JSON object with the members

- "counts": an object of pair and probe counts (integers);
- "identification_rate" and "traditional_rate": arrays of
  ``{"rank": r, "rate": x}``, ranks ascending;
- "tar_at_far": an array of ``{"far": f, "impostors_accepted": n,
  "tar": x}``, from the largest false accept rate down; a false accept rate
  that the impostor pairs are too few to reach is left out;
- "equal_error_rate": an object whose "rate" is the equal error rate.

Any rate may be null where it is not defined. Unlike the thinned curves of
a results file, these figures are exact: the rate at a rank is the rate at
that rank, and a TAR is the TAR at exactly its false accept rate.
"""

import math
from typing import Dict, NamedTuple, Optional, Union

from .results import (CURVES, Curve, ResultsError, _kind, _names,
                      parse_results, read_json)

MEMBERS = ("counts", "identification_rate", "traditional_rate", "tar_at_far",
           "equal_error_rate")


class OperatingPoints(NamedTuple):
    """A summary file's figures; None where the file holds null."""

    identification_rate: Dict[int, Optional[float]]  # By rank.
    traditional_rate: Dict[int, Optional[float]]  # By rank.
    tar_at_far: Dict[float, Optional[float]]  # By false accept rate.
    equal_error_rate: Optional[float]


def is_summary(document) -> bool:
    """Tells whether `document` is to be read as a summary: it has "counts"
    and "tar_at_far", or it has a summary's member and no curve. The second
    case makes a summary that lacks members fail as a summary, with the
    members it lacks named, rather than as a results file without curves."""
    if not isinstance(document, dict):
        return False
    if "counts" in document and "tar_at_far" in document:
        return True
    return (not any(name in document for name in CURVES) and
            any(name in document for name in MEMBERS))


def load_either(path) -> Union[OperatingPoints, Dict[str, Curve]]:
    """Returns the figures of the summary file at `path`, or the curves (see
    `results.load_results`) of the results file there, the kind told by the
    content (see `is_summary`). Raises ResultsError, naming the file on one
    line, for a file that cannot be read, is not valid JSON, is neither kind
    or is a bad file of its kind."""
    document = read_json(path)
    if is_summary(document):
        return parse_summary(path, document)
    if isinstance(document, dict) and not any(name in document
                                              for name in CURVES):
        raise ResultsError(f"{path}: neither a results file (with "
                           f"{_names(CURVES)}) nor a summary file (with "
                           f"{_names(MEMBERS)})")
    return parse_results(path, document)


def parse_summary(path, document) -> OperatingPoints:
    """Returns the figures of the summary `document`, read from the file at
    `path`. Raises ResultsError when a member is missing or not of the
    format above: a rank that is not a whole number from 1, a false accept
    rate or rate that is not a finite number (rates may be null), or a rank
    or false accept rate listed twice."""
    missing = [name for name in MEMBERS if name not in document]
    if missing:
        raise ResultsError(f"{path}: a summary file without "
                           f"{_names(missing)}")
    if not isinstance(document["counts"], dict):
        raise ResultsError(f'{path}: "counts" is {_kind(document["counts"])}'
                           ", not an object")
    eer = document["equal_error_rate"]
    if not isinstance(eer, dict) or "rate" not in eer:
        raise ResultsError(f'{path}: "equal_error_rate" is not an object '
                           'with a "rate"')
    return OperatingPoints(
        _table(path, document, "identification_rate", "rank", "rate"),
        _table(path, document, "traditional_rate", "rank", "rate"),
        _table(path, document, "tar_at_far", "far", "tar"),
        _rate(path, '"equal_error_rate" "rate"', eer["rate"]))


def _table(path, document, name: str, key: str, value: str) -> dict:
    """Returns the entries of the array `document[name]` as a dict from each
    entry's `key` to its `value`."""
    entries = document[name]
    if not isinstance(entries, list):
        raise ResultsError(f'{path}: "{name}" is {_kind(entries)}, not an '
                           "array")
    table = {}
    for index, entry in enumerate(entries):
        where = f'"{name}" entry {index + 1}'
        if not (isinstance(entry, dict) and key in entry and value in entry):
            raise ResultsError(f'{path}: {where} is not an object with "{key}"'
                               f' and "{value}"')
        at = entry[key]
        if key == "rank":
            good = (isinstance(at, int) and not isinstance(at, bool) and
                    at >= 1)
        else:
            good = _is_number(at) and math.isfinite(at)
        if not good:
            raise ResultsError(f'{path}: {where} has "{key}" {_shown(at)}, '
                               "not a " + ("whole number from 1" if
                                           key == "rank" else "finite number"))
        if at in table:
            raise ResultsError(f'{path}: "{name}" lists "{key}" {at} twice')
        table[at] = _rate(path, f'{where} "{value}"', entry[value])
    return table


def _rate(path, where: str, value) -> Optional[float]:
    """Returns `value` as a float, None for null."""
    if value is None:
        return None
    if not (_is_number(value) and math.isfinite(value)):
        raise ResultsError(f"{path}: {where} is {_shown(value)}, not a "
                           "finite number or null")
    return float(value)


def _is_number(value) -> bool:
    # bool is an int in Python but not a number in a summary file.
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _shown(value) -> str:
    """Returns a short text of a JSON value for an error message."""
    if _is_number(value):
        return repr(value)
    if isinstance(value, str):
        return f"the string {value[:40]!r}"
    return _kind(value)
