"""Shared fixtures: the package on sys.path, the built C++ programs (from
FUSE_RESULTS_BUILD, else build/, where a missing one skips its tests), an
experiment evaluated by them and a results file written by hand."""

import json
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

PYTHON_DIR = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(PYTHON_DIR))


def program(folder, name):
    chosen = os.environ.get("FUSE_RESULTS_BUILD")
    path = PYTHON_DIR.parent / (chosen or "build") / folder / name
    if not os.access(path, os.X_OK):
        (pytest.fail if chosen else pytest.skip)(
            f"{path} is not built (build the '{name}' target; "
            "FUSE_RESULTS_BUILD names the build folder)")
    return str(path)


@pytest.fixture(scope="session")
def experiment(tmp_path_factory):
    """300 probes against 3,000 distractors, evaluated: the results file and
    the rank-1 rate fuse_results printed."""
    folder = tmp_path_factory.mktemp("experiment")
    subprocess.run([program("tools", "make_experiment"), "--out", folder,
                    "--probes", "300", "--subjects", "60", "--distractors",
                    "3000", "--seed", "3"], check=True)
    run = subprocess.run(
        [program("driver", "fuse_results"), folder / "distractor_scores.mat",
         folder / "probe_scores.mat", folder / "probe_info.json", "3000",
         folder / "results.json", folder / "match_results.json"],
        check=True, capture_output=True, text=True)
    rank1 = float(re.search(r"^Rank 1: (\S+)$", run.stdout, re.M).group(1))
    return {"results": folder / "results.json", "rank1": rank1}


def run_script(script, *args):
    """Runs python/<script>; returns the completed process, output as text."""
    return subprocess.run([sys.executable, str(PYTHON_DIR / script),
                           *map(str, args)], capture_output=True, text=True)


@pytest.fixture
def hand_results(tmp_path):
    """Curves that take every branch of reading a rate off a curve: rank 1
    is at a point, rank 10 between points reads the earlier one, which is
    null, rank 100 is beyond the last point; of equal ranks the last counts;
    FAR 1e-6 .. 1e-4 lie before the first point, which is stored as the
    32-bit float nearest 1e-3 and so is at 1e-3 (1.1e-3 is not); 1e-1
    passes over a point without a false accept rate."""
    (tmp_path / "hand").mkdir()
    path = tmp_path / "hand" / "results.json"
    path.write_text(json.dumps({
        "cmc": [[0, 4, 50], [0.25, None, 1.0]],
        "traditional_cmc": [[0, 0, 1], [0.5, 0.75, 1.0]],
        "roc": [[float(np.float32(1e-3)), 1.1e-3, 0.05, None, 1.0],
                [0.3, 0.4, 0.5, 0.9, 1.0]]}))
    return path
