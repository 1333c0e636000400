"""The summary file's figures against a direct NumPy computation from the
score matrices, on generated experiments with ties and NaN scores, and
against the plain route's summary."""

import json
import math
import subprocess
from fractions import Fraction

import numpy as np
import pytest

from conftest import program
from fuse_tools.matfile import read_mat, write_mat

RANKS = [1, 2, 5, 10, 20, 50, 100, 7000]
FARS = ["0.29", "3e-4", "1", "0"]


def figures_by_numpy(folder, num_distractors, far_texts):
    """The figures as defined, from the files, by brute force."""
    distractors = np.asarray(read_mat(folder / "distractor_scores.mat"))
    probes = np.asarray(read_mat(folder / "probe_scores.mat"))
    names = json.loads((folder / "probe_info.json").read_text())["id"]
    used = distractors[:, :num_distractors]
    subjects = {}
    for index, name in enumerate(names):
        subjects.setdefault(name, []).append(index)

    # NaN compares false both ways: a NaN beats nothing, nothing beats it.
    mate_ranks = np.array(
        [np.count_nonzero(used[i] > probes[i, j])
         for members in subjects.values() for i in members
         for j in members if i != j], dtype=np.int64)
    identification = {r: np.count_nonzero(mate_ranks <= r - 1) /
                      len(mate_ranks) for r in RANKS}

    impostors = used[:min(100, used.shape[0])].ravel()
    ordered = np.sort(impostors[~np.isnan(impostors)])
    genuine = np.array([probes[m[a], m[b]] for m in subjects.values()
                        for a in range(len(m)) for b in range(a + 1, len(m))],
                       dtype=np.float32)
    beaten_by = np.where(
        np.isnan(genuine), 0,
        len(ordered) - np.searchsorted(ordered, genuine, side="right"))
    impostor_count, genuine_count = impostors.size, genuine.size

    def tar(k):
        return np.count_nonzero(beaten_by <= k) / genuine_count

    tar_at_far = {}
    for text in far_texts:
        k = math.floor(Fraction(text) * impostor_count)
        tar_at_far[float(text)] = (k, tar(k))
    k = np.arange(impostor_count + 1, dtype=np.int64)
    accepted = np.searchsorted(np.sort(beaten_by), k, side="right")
    first = int(np.argmax(k * genuine_count >=
                          (genuine_count - accepted) * impostor_count))
    far, frr = first / impostor_count, 1.0 - tar(first)
    return {
        "counts": {"mate_pairs": len(mate_ranks),
                   "genuine_pairs": genuine_count,
                   "impostor_pairs": impostor_count},
        "identification": identification,
        "tar_at_far": tar_at_far,
        "eer": {"rate": (far + frr) / 2, "impostors_accepted": first,
                "far": far, "frr": frr},
    }


def evaluate(route, folder, num_distractors, summary):
    """Runs a route with every option; returns the summary document."""
    subprocess.run(
        [route, "--summary", summary, "--ranks",
         ",".join(map(str, RANKS)), "--fars=" + ",".join(FARS),
         folder / "distractor_scores.mat", folder / "probe_scores.mat",
         folder / "probe_info.json", str(num_distractors),
         summary.with_suffix(".results.json"),
         summary.with_suffix(".matches.json")],
        check=True, capture_output=True)
    return json.loads(summary.read_text())


@pytest.mark.parametrize("levels,nans,num_distractors", [
    (0, False, 2500),   # distinct scores
    (8, False, 2500),   # heavy ties between genuine and impostor scores
    (64, True, 1999),   # ties, NaN scores, not every column used
])
def test_figures_match_numpy(tmp_path, levels, nans, num_distractors):
    folder = tmp_path / "experiment"
    subprocess.run([program("tools", "make_experiment"), "--out", folder,
                    "--probes", "240", "--subjects", "40",
                    "--distractors", "2500", "--score_levels", str(levels),
                    "--seed", "5"], check=True, capture_output=True)
    if nans:
        for name, cells in (("distractor_scores.mat", [(0, 3), (1, 0), (7, 9)]),
                            ("probe_scores.mat", [(0, 1), (1, 0), (5, 6)])):
            scores = np.array(read_mat(folder / name))
            for cell in cells:
                scores[cell] = np.nan
            write_mat(folder / name, scores)

    summary = evaluate(program("driver", "fuse_results"), folder,
                       num_distractors, tmp_path / "summary.json")
    expected = figures_by_numpy(folder, num_distractors, FARS)

    counts = summary["counts"]
    assert counts["probes"] == 240 and counts["subjects"] == 40
    assert counts["distractors"] == num_distractors
    for key, value in expected["counts"].items():
        assert counts[key] == value, key
    assert {e["rank"]: e["rate"] for e in summary["identification_rate"]} == \
        expected["identification"]
    got_fars = {e["far"]: (e["impostors_accepted"], e["tar"])
                for e in summary["tar_at_far"]}
    for far, value in expected["tar_at_far"].items():
        assert got_fars[far] == value, far
    # The default false accept rates: 1e-1 down to the last that accepts
    # at least one impostor pair.
    defaults = [10.0 ** -e for e in range(1, 20)
                if 10 ** e <= counts["impostor_pairs"]]
    assert all(float(f"{d:g}") in got_fars for d in defaults)
    assert float(f"{defaults[-1] / 10:g}") not in got_fars
    assert [e["far"] for e in summary["tar_at_far"]] == \
        sorted(got_fars, reverse=True)
    assert summary["equal_error_rate"] == expected["eer"]

    # The plain route computes the same figures its own way; the
    # traditional rates, whose splits NumPy would have to repeat, are
    # checked there.
    plain = evaluate(program("reference", "fuse_results_sort_everything"),
                     folder, num_distractors, tmp_path / "plain.json")
    assert plain == summary
    ranks = [e["rank"] for e in summary["traditional_rate"]]
    assert ranks == sorted(set(RANKS) | {1, 5, 10})
