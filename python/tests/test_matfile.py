"""Matrix files: Python's reader and writer against MatIO, bit for bit, and
npy_to_mat, .npy score arrays to float32 matrix files."""

import os
import subprocess

import numpy as np
import pytest

from conftest import program, run_script
from fuse_tools import cli, npy_convert
from fuse_tools.matfile import MatFileError, read_mat, type_code, write_mat


def random_array(dtype, shape):
    """Random bytes as `dtype`: every bit pattern, NaN payloads included."""
    count = int(np.prod(shape)) * np.dtype(dtype).itemsize
    raw = np.random.default_rng(0).integers(0, 256, count, dtype=np.uint8)
    return raw.view(dtype).reshape(shape)


def cpp_copy(path):
    """Loads `path` with MatIO and saves it to `path`.cpp; returns the loaded
    (rows, cols, step, type), or None when MatIO refuses to load the file."""
    run = subprocess.run([program("tools", "mat_tool"), path, f"{path}.cpp"],
                         capture_output=True, text=True)
    if run.stderr.startswith(f"{path}: "):
        return None
    assert run.returncode == 0, run.stderr
    return tuple(map(int, run.stdout.split()[:4]))


# Every element type in C order, then other layouts: strided, byte-swapped
# and transposed, and one channel given as a third axis (stored as 2-D).
@pytest.mark.parametrize("values", [
    random_array(dtype, shape)
    for dtype in ["<u1", "<i1", "<u2", "<i2", "<i4", "<f4", "<f8"]
    for shape in [(3, 5), (1, 1), (4, 2, 3)]] + [
        random_array("<i2", (9, 12))[::2, ::3],
        random_array(">f8", (6, 4)).T, random_array("<u1", (5, 3, 1))])
def test_python_cpp_python_round_trip(tmp_path, values):
    path = tmp_path / "m.mat"
    write_mat(path, values, block_bytes=16)  # several blocks
    if values.ndim == 3 and values.shape[2] == 1:
        values = values[:, :, 0]
    expected = np.ascontiguousarray(values, values.dtype.newbyteorder("<"))
    assert cpp_copy(path) == (
        *values.shape[:2], expected[0].nbytes,
        type_code(values.dtype, (*values.shape, 1)[2]))
    assert (tmp_path / "m.mat.cpp").read_bytes() == path.read_bytes()
    back = read_mat(tmp_path / "m.mat.cpp")
    assert isinstance(back, np.memmap) and back.dtype == expected.dtype
    assert back.shape == values.shape and back.tobytes() == expected.tobytes()


@pytest.mark.parametrize("header,data_bytes,outcome", [
    ([-1, 2, 8, 5], 0, "negative row count -1"),
    ([2, -3, 8, 5], 0, "negative column count -3"),
    ([2, 2, 8, 0x1007], 16, "depth 7"),
    ([2, 2, 0, 5], 0, "step 0 is smaller than a row"),
    ([2, 3, 23, 5 | 8], 46, "step 23 is smaller than a row"),
    ([2, 0, -4, 5], 0, "negative data length"),
    ([2, 2, 8, 5], 15, "16 data bytes but only 15"),
    ([3, 2], 0, "8 bytes, shorter than the 16-byte header"),
    # Accepted, with the shape read: type bits 12-31 ignored, bytes after
    # the data, no rows, no columns, and rows with bytes beyond their
    # elements (a step not aligned to the element size; three channels).
    ([2, 1, 4, 5 | 0xABCD000], 12, (2, 1)),
    ([0, 3, 12, 5], 0, (0, 3)),
    ([3, 0, 8, 5], 24, (3, 0)),
    ([3, 2, 17, 2 | 16], 51, (3, 2, 3)),
])
def test_files_are_judged_alike_by_both(tmp_path, header, data_bytes,
                                        outcome):
    data = bytes(range(data_bytes))
    path = tmp_path / "m.mat"
    path.write_bytes(np.array(header, "<i4").tobytes() + data)
    if isinstance(outcome, str):
        with pytest.raises(MatFileError, match=f"^{path}: .*{outcome}"):
            read_mat(path)
        assert cpp_copy(path) is None
    else:  # The elements at the start of each stored row, to both.
        values = read_mat(path)
        row_bytes = values.nbytes // max(outcome[0], 1)
        assert values.shape == outcome and values.tobytes() == b"".join(
            data[r * header[2]:][:row_bytes] for r in range(outcome[0]))
        assert cpp_copy(path)[:2] == outcome[:2]
        assert read_mat(f"{path}.cpp").tobytes() == values.tobytes()


@pytest.mark.parametrize("values,message", [
    (np.zeros(4, np.float32), "2-D array"),
    (np.zeros((2, 2), np.int64), "unsupported element type int64"),
    (np.zeros((2, 2, 513), np.uint8), "513 channels"),
])
def test_refused_arrays_leave_the_target_alone(tmp_path, values, message):
    target = tmp_path / "m.mat"
    target.write_bytes(b"keep")
    with pytest.raises(ValueError, match=message):
        write_mat(target, values)
    assert target.read_bytes() == b"keep"
    assert os.listdir(tmp_path) == ["m.mat"]


# float64 values float32 cannot hold exactly (rounded or overflowing), then
# values it holds exactly (NaN and infinities carried over).
INEXACT = [0.1, 1 / 3, 1 + 2.0**-30, 1e300, -1e39]
EXACT = [np.nan, np.inf, -np.inf, 0.5, -2.0**-20]


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("dtype", ["<f4", ">f4", "<f8", ">f8"])
def test_converts_in_blocks(tmp_path, dtype, order):
    # Eighths in [-125, 125) are exact in float32.
    values = np.random.default_rng(0).integers(-1000, 1000, (37, 11)) / 8
    values = np.asarray(values, dtype=dtype, order=order)
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


def test_command_line_notes_changed_values(tmp_path):
    values = np.zeros((3, 4))
    values.flat[:5] = INEXACT
    np.save(tmp_path / "s.npy", values)
    run = run_script("npy_to_mat.py", tmp_path / "s.npy", tmp_path / "s.mat")
    assert run.returncode == 0 and run.stdout == ""
    assert run.stderr.startswith("npy_to_mat: note: 5 of 12 float64 values")
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
