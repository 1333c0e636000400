"""Results files: loading, the summary table and the plots."""

import csv
import io

import numpy as np
import pytest
from matplotlib import image

from conftest import run_script
from fuse_tools import cli, plot, summary

GOOD = '"traditional_cmc": [[0], [1]], "cmc": [[0], [1]]'


def summarize(*args):
    run = run_script("summarize_results.py", *args)
    assert run.returncode == 0, run.stderr
    return run.stdout


def test_summary(experiment, hand_results):
    table = list(csv.reader(io.StringIO(summarize(
        experiment["results"], hand_results, "--format", "csv"))))
    assert table[0] == summary.header() and len(table) == 3
    run, hand = table[1], table[2]
    assert run[0] != hand[0]  # both files are named results.json
    # fuse_results printed its rank-1 rate with six decimals.
    assert abs(float(run[1]) - experiment["rank1"]) <= 5e-7
    assert hand[1:] == ["0.25", "", "1.0", "0.75", "", "", "", "0.3", "0.4",
                        "0.5", ""]
    # Markdown, the default: labels escaped, rates to four decimals.
    markdown = summarize(hand_results, "--label", "a|b").splitlines()
    assert markdown[-1] == (
        "| a\\|b | 0.2500 |  | 1.0000 | 0.7500 |  |  |  | 0.3000 | 0.4000 |"
        " 0.5000 |  |")
    assert "(all rows)" in markdown[0] and "low by up to 0.01" in markdown[0]


def test_plot(experiment, hand_results, tmp_path):
    run = run_script("plot_results.py", experiment["results"], hand_results,
                     "-o", tmp_path / "plot.png")
    assert run.returncode == 0 and run.stdout == "", run.stderr
    # Three panels, none blank: each shows both files' lines (C0 blue and
    # C1 orange).
    rgb = np.round(image.imread(tmp_path / "plot.png")[..., :3] * 255)
    assert rgb.shape[:2] == (500, 1500)
    for panel in np.split(rgb, 3, axis=1):
        assert (panel == [31, 119, 180]).all(-1).sum() > 100
        assert (panel == [255, 127, 14]).all(-1).sum() > 100


@pytest.mark.parametrize("content,message", [
    ('{"cmc": [[0], [1.0]],', "not valid JSON"),
    (None, "cannot read: No such file or directory"),
    ("null", "the document is null"),
    ("[]", "expected a JSON object"),
    ("{%s}" % GOOD, 'no "roc" curve'),
    ('{"roc": [[0, 1], [0.5]], %s}' % GOOD, '"roc" has 2 x values but 1 y'),
    ('{"roc": [[0], [1], [2]], %s}' % GOOD, '"roc" is not a pair of arrays'),
    ('{"roc": [[0], ["1"]], %s}' % GOOD, '"roc" holds a string "1", not a'),
])
@pytest.mark.parametrize("prog,main", [("summarize_results", summary.main),
                                       ("plot_results", plot.main)])
def test_bad_results_files(hand_results, tmp_path, capsys, prog, main,
                           content, message):
    bad, out = tmp_path / "bad.json", tmp_path / "plot.png"
    if content is not None:
        bad.write_text(content)
    extra = ["-o", str(out)] if main is plot.main else []
    status = cli.run(prog, main, [str(hand_results), str(bad), *extra])
    captured = capsys.readouterr()
    assert status == 1 and captured.out == "" and not out.exists()
    assert captured.err.count("\n") == 1 and message in captured.err
    assert captured.err.startswith(f"{prog}: error: {bad}: ")
