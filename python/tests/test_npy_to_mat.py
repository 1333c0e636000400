"""npy_to_mat: .npy score arrays to float32 matrix files."""

import numpy as np
import pytest

from conftest import run_script
from fuse_tools import cli, npy_convert
from fuse_tools.matfile import read_mat

# float64 values float32 cannot hold exactly (rounded or overflowing), then
# values it holds exactly (NaN and infinities carried over).
INEXACT = [0.1, 1 / 3, 1 + 2.0**-30, 1e300, -1e39]
EXACT = [np.nan, np.inf, -np.inf, 0.5, -2.0**-20]


def scores(rows, cols, dtype, order="C"):
    """Eighths in [-125, 125): exact in float32."""
    values = np.random.default_rng(0).integers(-1000, 1000, (rows, cols)) / 8
    return np.asarray(values, dtype=dtype, order=order)


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("dtype", ["<f4", ">f4", "<f8", ">f8"])
def test_converts_in_blocks(tmp_path, dtype, order):
    values = scores(37, 11, dtype, order)
    wide = values.dtype.itemsize == 8
    if wide:
        flat = values.reshape(-1, order="A")  # a view into `values`
        flat[:5], flat[-5:] = INEXACT, EXACT
    np.save(tmp_path / "s.npy", values)
    assert npy_convert.convert(tmp_path / "s.npy", tmp_path / "s.mat",
                               block_bytes=100) == (5 if wide else 0, 407)
    with np.errstate(over="ignore"):
        expected = values.astype("<f4")
    assert read_mat(tmp_path / "s.mat").tobytes() == expected.tobytes()


@pytest.mark.parametrize("dtype,note", [
    ("<f8", "npy_to_mat: note: 5 of 12 float64 values of"), ("<f4", "")])
def test_command_line(tmp_path, dtype, note):
    values = scores(3, 4, dtype)
    values.flat[:5] = INEXACT if dtype == "<f8" else 0
    np.save(tmp_path / "s.npy", values)
    run = run_script("npy_to_mat.py", tmp_path / "s.npy", tmp_path / "s.mat")
    assert run.returncode == 0 and run.stdout == ""
    assert run.stderr.startswith(note) and bool(note) == bool(run.stderr)
    assert read_mat(tmp_path / "s.mat").shape == (3, 4)


@pytest.mark.parametrize("make,message", [
    (lambda p: np.save(p, np.zeros(5)), "2-D, this array has shape (5,)"),
    (lambda p: np.save(p, np.zeros((2, 2), np.int32)), "holds int32"),
    (lambda p: np.save(p, np.zeros((2, 2), np.float16)), "holds float16"),
    (lambda p: np.save(p, np.array([[1, "a"]], object), allow_pickle=True),
     "not a readable .npy file"),
    (lambda p: p.write_bytes(b"1,2\n3,4\n"), "not a .npy file"),
])
def test_bad_input_writes_nothing(tmp_path, capsys, make, message):
    source, target = tmp_path / "in.npy", tmp_path / "out.mat"
    make(source)
    target.write_bytes(b"keep")
    assert cli.run("npy_to_mat", npy_convert.main,
                   [str(source), str(target)]) == 1
    error = capsys.readouterr().err
    assert error.startswith(f"npy_to_mat: error: {source}: ")
    assert message in error and error.count("\n") == 1
    assert target.read_bytes() == b"keep"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.npy", "out.mat"]
