"""Summary files in the summary table: exact figures, told apart from
results files by their content, next to them in one table, and their
errors."""

import csv
import io
import json
import subprocess

import pytest

from conftest import program, run_script
from fuse_tools import cli, plot, summary

# As fuse_results writes it: rates with 17 significant digits, FARs in their
# shortest text. Rank 10 and FAR 1e-4 are null (reading FAR 1e-4 "at or
# below" would wrongly give 1e-5's TAR), FAR 3e-4 is an extra one that
# belongs in no column, and FAR 1e-6 is missing (1e5 impostor pairs).
SUMMARY = """{"counts": {"genuine_pairs": 60, "impostor_pairs": 100000},
  "identification_rate": [{"rank": 1, "rate": 0.97014925373134331},
    {"rank": 10, "rate": null}, {"rank": 100, "rate": 1}],
  "traditional_rate": [{"rank": 1, "rate": 0.33333333333333331}],
  "tar_at_far": [{"far": 0.1, "impostors_accepted": 10000, "tar": 1},
    {"far": 0.01, "impostors_accepted": 1000, "tar": 0.98999999999999999},
    {"far": 0.001, "impostors_accepted": 100, "tar": 0.90000000000000002},
    {"far": 0.0003, "impostors_accepted": 30, "tar": 0.5},
    {"far": 0.0001, "impostors_accepted": 10, "tar": null},
    {"far": 1e-05, "impostors_accepted": 1, "tar": 0.76940000000000004}],
  "equal_error_rate": {"rate": 0.012300000000000001,
    "impostors_accepted": 1230, "far": 0.0123, "frr": 0.0123}}"""
# The summary's row: ranks 1, 10, 100, traditional rank 1, FARs 1e-6 ..
# 1e-1, and the EER.
EXACT = [0.97014925373134331, None, 1.0, 0.33333333333333331, None,
         0.76940000000000004, None, 0.90000000000000002, 0.98999999999999999,
         1.0, 0.012300000000000001]
SUMMARY_MARKDOWN = ("0.970149 |  | 1.000000 | 0.333333 |  | 0.769400 |  | "
                    "0.900000 | 0.990000 | 1.000000 | 0.012300 |")


@pytest.fixture
def hand_summary(tmp_path):
    """The summary above, named like a results file: its kind is told by
    its content."""
    (tmp_path / "exact").mkdir()
    path = tmp_path / "exact" / "results.json"
    path.write_text(SUMMARY)
    return path


def summarize(*args):
    run = run_script("summarize_results.py", *args)
    assert run.returncode == 0, run.stderr
    return run


def csv_rows(text):
    return [[float(cell) if cell else None for cell in row[1:]]
            for row in list(csv.reader(io.StringIO(text)))[1:]]


def test_summary_only(hand_summary, tmp_path):
    run = summarize(hand_summary, "--format", "csv")
    assert csv_rows(run.stdout) == [EXACT] and run.stderr == ""
    note, _, head, _, row = summarize(hand_summary).stdout.splitlines()
    assert head == "| " + " | ".join(summary.header()) + " |"
    assert row == "| results.json | " + SUMMARY_MARKDOWN
    assert "summary files (all rows)" in note and "0.01" not in note
    # The EER may be null.
    (tmp_path / "no_eer.json").write_text(
        SUMMARY.replace("0.012300000000000001", "null"))
    assert csv_rows(summarize(tmp_path / "no_eer.json", "--format", "csv")
                    .stdout) == [EXACT[:-1] + [None]]


def test_mixed_files(hand_results, hand_summary):
    run = summarize(hand_results, hand_summary, "--format", "csv")
    thinned, exact = csv_rows(run.stdout)
    assert exact == EXACT and thinned[-1] is None
    # The note, on standard error so that standard output stays CSV, names
    # only the row read off curves.
    assert run.stderr.count("\n") == 1 and "exact" not in run.stderr
    assert "results files (row hand/results.json)" in run.stderr
    note, _, _, _, exact, thinned = summarize(
        hand_summary, hand_results, "--label", "new", "old").stdout \
        .splitlines()
    assert "summary files (row new)" in note
    assert "results files (row old)" in note and "up to 0.01" in note
    assert exact == "| new | " + SUMMARY_MARKDOWN
    assert thinned.startswith("| old | 0.2500 |  | 1.0000 |")


def mutated(change):
    def text():
        document = json.loads(SUMMARY)
        change(document)
        return json.dumps(document)
    return text


@pytest.mark.parametrize("content,message", [
    (lambda: SUMMARY[:-2], "not valid JSON"),
    (lambda: "{}", "neither a results file"),
    (mutated(lambda d: [d.pop("counts"), d.pop("equal_error_rate")]),
     'a summary file without "counts" and "equal_error_rate"'),
    (mutated(lambda d: d["identification_rate"][0].update(rank=0)),
     '"identification_rate" entry 1 has "rank" 0, not a whole number'),
    (mutated(lambda d: d["tar_at_far"][1].update(far=0.1)),
     '"tar_at_far" lists "far" 0.1 twice'),
    (mutated(lambda d: d["tar_at_far"][1].update(tar="0.5")),
     "\"tar_at_far\" entry 2 \"tar\" is the string '0.5', not a finite"),
    (lambda: SUMMARY.replace("0.012300000000000001", "NaN"),
     '"equal_error_rate" "rate" is nan, not a finite number or null'),
])
def test_bad_summary_files(hand_summary, tmp_path, capsys, content, message):
    bad = tmp_path / "bad.json"
    bad.write_text(content())
    status = cli.run("summarize_results", summary.main,
                     [str(hand_summary), str(bad)])
    captured = capsys.readouterr()
    assert status == 1 and captured.out == ""
    assert captured.err.count("\n") == 1 and message in captured.err
    assert captured.err.startswith(f"summarize_results: error: {bad}: ")
    # A good summary is no results file to plot.
    cli.run("plot_results", plot.main, [str(hand_summary), "-o", "x.png"])
    assert "a summary file (exact operating points)" in capsys.readouterr().err


def test_summary_of_a_run(experiment, tmp_path):
    """What fuse_results writes with --summary reads as exact figures that
    the same run's thinned curves read at most 0.01 below (plus the rounding
    of 32-bit curve values)."""
    fuse_results = program("driver", "fuse_results")
    folder, path = experiment["results"].parent, tmp_path / "summary.json"
    subprocess.run([fuse_results, "--summary", path,
                    folder / "distractor_scores.mat",
                    folder / "probe_scores.mat", folder / "probe_info.json",
                    "3000", tmp_path / "results.json",
                    tmp_path / "match_results.json"],
                   check=True, capture_output=True)
    thinned, exact = csv_rows(summarize(experiment["results"], path,
                                        "--format", "csv").stdout)
    assert abs(exact[0] - experiment["rank1"]) <= 5e-7
    pairs = [(low, high) for low, high in zip(thinned, exact[:-1])
             if None not in (low, high)]
    assert len(pairs) >= 6 and exact[-1] is not None
    assert all(high - 0.01 - 1e-6 <= low <= high + 1e-6
               for low, high in pairs)
