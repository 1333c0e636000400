"""Summary files in the summary table, beside results files; their errors."""

import csv
import io

import pytest

from conftest import run_script
from fuse_tools import cli, summary

# Rates with 17 digits, as fuse_results writes them (less the counts of
# accepted impostors). Rank 10 and FAR 1e-4 are null (reading FAR 1e-4 "at or
# below" would wrongly give 1e-5's TAR), FAR 3e-4 belongs in no column, and
# FAR 1e-6 is missing (1e5 impostor pairs are too few).
SUMMARY = """{"counts": {"genuine_pairs": 60, "impostor_pairs": 100000},
  "identification_rate": [{"rank": 1, "rate": 0.97014925373134331},
    {"rank": 10, "rate": null}, {"rank": 100, "rate": 1}],
  "traditional_rate": [{"rank": 1, "rate": 0.33333333333333331}],
  "tar_at_far": [{"far": 0.1, "tar": 1},
    {"far": 0.01, "tar": 0.98999999999999999},
    {"far": 0.001, "tar": 0.90000000000000002}, {"far": 0.0003, "tar": 0.5},
    {"far": 0.0001, "tar": null}, {"far": 1e-05, "tar": 0.76940000000000004}],
  "equal_error_rate": {"rate": 0.012300000000000001}}"""
# The table's rows (ranks 1, 10, 100, traditional rank 1, FARs 1e-6 .. 1e-1,
# EER) of the summary and of conftest's hand_results; also in Markdown.
ROWS = {"exact": [0.97014925373134331, None, 1.0, 0.33333333333333331, None,
                  0.76940000000000004, None, 0.90000000000000002,
                  0.98999999999999999, 1.0, 0.012300000000000001],
        "thinned": [0.25, None, 1.0, 0.75, None, None, None, 0.3, 0.4, 0.5,
                    None]}
MARKDOWN = {"exact": "0.970149 |  | 1.000000 | 0.333333 |  | 0.769400 |  | "
                     "0.900000 | 0.990000 | 1.000000 | 0.012300 |",
            "thinned": "0.2500 |  | 1.0000 | 0.7500 |  |  |  | 0.3000 | "
                       "0.4000 | 0.5000 |  |"}
NAMES = {"exact": "summary files", "thinned": "results files"}


@pytest.fixture
def hand_summary(tmp_path):
    """The summary, named like a results file: content tells its kind."""
    (tmp_path / "results.json").write_text(SUMMARY)
    return tmp_path / "results.json"


@pytest.mark.parametrize("kinds", [["exact"], ["thinned", "exact"],
                                   ["thinned"]])
def test_table(hand_summary, hand_results, kinds):
    files = [hand_summary if kind == "exact" else hand_results
             for kind in kinds]
    run = run_script("summarize_results.py", *files, "--label", *kinds,
                     "--format", "csv")
    table = list(csv.reader(io.StringIO(run.stdout)))
    assert run.returncode == 0 and table[0] == summary.header()
    assert [[float(c) if c else None for c in row[1:]] for row in table[1:]] \
        == [ROWS[kind] for kind in kinds]
    notes = {k: f"{NAMES[k]} (row {k})" if len(kinds) > 1 else
             f"{NAMES[k]} (all rows)" for k in kinds}
    # In CSV, the note names only the rows read off curves, on stderr.
    assert run.stderr.count("\n") == ("thinned" in kinds)
    assert notes.get("thinned", "") in run.stderr
    assert "summary files (" not in run.stderr
    lines = run_script("summarize_results.py", *files, "--label",
                       *kinds).stdout.splitlines()
    assert lines[4:] == [f"| {kind} | {MARKDOWN[kind]}" for kind in kinds]
    assert all(note in lines[0] for note in notes.values())
    assert ("summary files (" in lines[0]) == ("exact" in kinds)
    assert ("up to 0.01" in lines[0]) == ("thinned" in kinds)


@pytest.mark.parametrize("old,new,message", [
    (SUMMARY, "{}", "neither a results file"),
    (SUMMARY, '{"tar_at_far": [], "identification_rate": []}', 'a summary '
     'file without "counts", "traditional_rate" and "equal_error_rate"'),
    ('"rank": 1, "rate": 0.97', '"rank": 0, "rate": 0.97',
     '"identification_rate" entry 1 has "rank" 0, not a whole number'),
    ('"far": 0.01,', '"far": 0.1,', '"tar_at_far" lists "far" 0.1 twice'),
    ('0.98999999999999999', '"0.5"',
     "\"tar_at_far\" entry 2 \"tar\" is the string '0.5', not a finite"),
    ("0.012300000000000001", "NaN",
     '"equal_error_rate" "rate" is nan, not a finite number or null'),
])
def test_bad_summary_files(hand_summary, tmp_path, capsys, old, new, message):
    bad = tmp_path / "bad.json"
    bad.write_text(SUMMARY.replace(old, new))
    status = cli.run("summarize_results", summary.main,
                     [str(hand_summary), str(bad)])
    captured = capsys.readouterr()
    assert status == 1 and captured.out == ""
    assert captured.err.startswith(f"summarize_results: error: {bad}: ")
    assert captured.err.count("\n") == 1 and message in captured.err
