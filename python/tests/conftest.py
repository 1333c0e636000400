"""Shared fixtures: the package on sys.path, the built C++ programs, and a
small experiment evaluated by fuse_results.

The programs come from the build folder named by FUSE_RESULTS_BUILD
(relative to the checkout or absolute). Without it, build/ is used, and the
tests that need the programs are skipped when it lacks them; with it, a
missing program is a failure.
"""

import os
import pathlib
import re
import subprocess
import sys

import pytest

PYTHON_DIR = pathlib.Path(__file__).resolve().parents[1]
CHECKOUT = PYTHON_DIR.parent
sys.path.insert(0, str(PYTHON_DIR))

PROGRAMS = {
    "fuse_results": "driver/fuse_results",
    "make_experiment": "tools/make_experiment",
    "mat_tool": "tools/mat_tool",
}


def _program(name):
    chosen = os.environ.get("FUSE_RESULTS_BUILD")
    build = CHECKOUT / (chosen or "build")
    path = build / PROGRAMS[name]
    if not os.access(path, os.X_OK):
        message = (f"{path} is not built (build the '{name}' target; "
                   "FUSE_RESULTS_BUILD names the build folder)")
        if chosen:
            pytest.fail(message)
        pytest.skip(message)
    return str(path)


@pytest.fixture(scope="session")
def mat_tool():
    return _program("mat_tool")


@pytest.fixture(scope="session")
def make_experiment():
    return _program("make_experiment")


@pytest.fixture(scope="session")
def experiment(tmp_path_factory, make_experiment):
    """A 300-probe experiment against 3,000 distractors, evaluated: its
    folder, its results file and the rank-1 rate fuse_results printed."""
    folder = tmp_path_factory.mktemp("experiment")
    subprocess.run([make_experiment, "--out", str(folder), "--probes", "300",
                    "--subjects", "60", "--distractors", "3000", "--seed",
                    "3"], check=True)
    run = subprocess.run(
        [_program("fuse_results"), str(folder / "distractor_scores.mat"),
         str(folder / "probe_scores.mat"), str(folder / "probe_info.json"),
         "3000", str(folder / "results.json"),
         str(folder / "match_results.json")],
        check=True, capture_output=True, text=True)
    rank1 = float(re.search(r"^Rank 1: (\S+)$", run.stdout, re.M).group(1))
    return {"folder": folder, "results": folder / "results.json",
            "rank1": rank1}


def run_script(script, *args):
    """Runs python/<script> with this interpreter; returns the completed
    process (text output captured)."""
    return subprocess.run([sys.executable, str(PYTHON_DIR / script),
                           *map(str, args)], capture_output=True, text=True)
