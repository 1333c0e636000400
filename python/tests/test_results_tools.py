"""Results files: loading, the summary table and the plots."""

import csv
import io
import json

import numpy as np
import pytest
from matplotlib import image

from conftest import run_script
from fuse_tools import cli, plot, summary
from fuse_tools.results import Curve, value_at_or_below

NAN = float("nan")
F32_1E3 = float(np.float32(1e-3))  # 0.0010000000474974513 > 1e-3


@pytest.mark.parametrize("x,y,at,expected", [
    ([0, 3, 7], [.5, .6, .9], 2, .5),      # between points: the earlier
    ([0, 3, 7], [.5, .6, .9], 3, .6),      # exactly at a point
    ([0, 3, 7], [.5, .6, .9], 99, .9),     # beyond the last point
    ([2, 3], [.5, .6], 1, None),           # before the first point
    ([0, 3, 7], [.5, NAN, .9], 4, None),   # the point there is null
    ([0, NAN, 7], [.5, .6, .9], 4, .5),    # a point without x is passed
    ([0, 3, 3], [.5, .6, .7], 3, .7),      # equal x: the last one
    ([0, F32_1E3, .5], [.2, .4, .8], 1e-3, .4),  # stored as 32-bit floats
    ([0, 1.1e-3], [.2, .4], 1e-3, .2),
])
def test_value_at_or_below(x, y, at, expected):
    assert value_at_or_below(Curve(np.array(x, float), np.array(y, float)),
                             at) == expected


@pytest.fixture
def hand_results(tmp_path):
    """Nulls, and a ROC without points below 1e-3."""
    (tmp_path / "hand").mkdir()
    path = tmp_path / "hand" / "results.json"
    path.write_text(json.dumps({
        "cmc": [[0, 4, 150], [0.25, None, 1.0]],
        "traditional_cmc": [[0, 1], [0.75, 1.0]],
        "roc": [[F32_1E3, 0.05, None, 1.0], [0.3, 0.5, 0.9, 1.0]]}))
    return path


def summarize(*args):
    run = run_script("summarize_results.py", *args)
    assert run.returncode == 0, run.stderr
    return run.stdout


def test_summary_csv(experiment, hand_results):
    table = list(csv.reader(io.StringIO(summarize(
        experiment["results"], hand_results, "--format", "csv"))))
    assert table[0] == summary.header() and len(table) == 3
    run, hand = table[1], table[2]
    assert run[0] != hand[0]  # both files are named results.json
    # fuse_results printed its rank-1 rate with six decimals.
    assert abs(float(run[1]) - experiment["rank1"]) <= 5e-7
    # Ranks 10 and 100 fall on a null rate; FAR 1e-6 .. 1e-4 below the
    # first ROC point; 1e-1 passes over a point without a false accept rate.
    assert hand[1:] == ["0.25", "", "", "0.75", "", "", "", "0.3", "0.3",
                        "0.5"]


def test_summary_markdown(hand_results):
    lines = summarize(hand_results, hand_results, "--label", "first",
                      "second|run").splitlines()
    assert "nearest stored point at or below each value" in lines[0]
    assert lines[-2:] == [
        f"| {label} | 0.2500 |  |  | 0.7500 |  |  |  | 0.3000 | 0.3000 | "
        "0.5000 |" for label in ("first", "second\\|run")]


def test_plot(experiment, hand_results, tmp_path):
    out = tmp_path / "plot.png"
    run = run_script("plot_results.py", experiment["results"], hand_results,
                     "-o", out)
    assert run.returncode == 0 and run.stdout == "", run.stderr
    picture = image.imread(out)
    assert picture.shape[:2] == (500, 1500)
    # Not blank: each file's line in its own colour (C0, C1) in each panel.
    rgb = np.round(picture[..., :3] * 255).astype(int)
    for colour in ([31, 119, 180], [255, 127, 14]):
        drawn = np.all(rgb == colour, axis=-1)
        assert min(drawn[:, i * 500:][:, :500].sum() for i in range(3)) > 100


@pytest.mark.parametrize("content,message", [
    ('{"cmc": [[0], [1.0]],', "not valid JSON"),
    (None, "cannot read: No such file or directory"),
    ("null", "the document is null"),
    ("[]", "expected a JSON object"),
    ('{"cmc": [[0], [1]], "traditional_cmc": [[0], [1]]}', 'no "roc" curve'),
    ('{"cmc": [[0, 1], [0.5]], "roc": [[0], [1]], "traditional_cmc": '
     '[[0], [1]]}', '"cmc" has 2 x values but 1 y values'),
    ('{"cmc": [[0], [1]], "roc": [[0], [1], [2]], "traditional_cmc": '
     '[[0], [1]]}', '"roc" is not a pair of arrays'),
    ('{"cmc": [[0], ["1"]], "roc": [[0], [1]], "traditional_cmc": '
     '[[0], [1]]}', '"cmc" holds a string "1", not a number'),
])
@pytest.mark.parametrize("prog,main", [("summarize_results", summary.main),
                                       ("plot_results", plot.main)])
def test_bad_results_files(hand_results, tmp_path, capsys, prog, main,
                           content, message):
    bad, out = tmp_path / "bad.json", tmp_path / "plot.png"
    if content is not None:
        bad.write_text(content)
    args = [str(hand_results), str(bad)]
    if main is plot.main:
        args += ["-o", str(out)]
    status = cli.run(prog, main, args)
    captured = capsys.readouterr()
    assert status == 1 and captured.out == "" and not out.exists()
    assert captured.err.count("\n") == 1 and message in captured.err
    assert captured.err.startswith(f"{prog}: error: {bad}: ")
