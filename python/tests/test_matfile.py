"""Matrix files: Python's reader and writer against MatIO, bit for bit."""

import os
import subprocess

import numpy as np
import pytest

from fuse_tools.matfile import MatFileError, read_mat, type_code, write_mat

DTYPES = ["<u1", "<i1", "<u2", "<i2", "<i4", "<f4", "<f8"]


def random_array(dtype, shape, seed=0):
    """Random bytes as `dtype`: every bit pattern, NaN payloads included."""
    count = int(np.prod(shape)) * np.dtype(dtype).itemsize
    raw = np.random.default_rng(seed).integers(0, 256, count, dtype=np.uint8)
    return raw.view(dtype).reshape(shape)


def cpp_copy(mat_tool, path):
    """Loads `path` with MatIO and saves it to `path`.cpp; returns the loaded
    (rows, cols, step, type), or None when MatIO refuses to load the file."""
    run = subprocess.run([mat_tool, path, f"{path}.cpp"], capture_output=True,
                         text=True)
    if run.stderr.startswith(f"{path}: "):
        return None
    assert run.returncode == 0, run.stderr
    return tuple(map(int, run.stdout.split()[:4]))


def write_raw(path, header, data=b""):
    path.write_bytes(np.array(header, "<i4").tobytes() + data)
    return path


@pytest.mark.parametrize("shape", [(3, 5), (1, 1), (4, 2, 3)])
@pytest.mark.parametrize("dtype", DTYPES)
def test_python_cpp_python_round_trip(tmp_path, mat_tool, dtype, shape):
    values = random_array(dtype, shape)
    write_mat(tmp_path / "m.mat", values)
    assert cpp_copy(mat_tool, tmp_path / "m.mat") == (
        *shape[:2], values[0].nbytes, type_code(dtype, (*shape, 1)[2]))
    saved = tmp_path / "m.mat.cpp"
    assert saved.read_bytes() == (tmp_path / "m.mat").read_bytes()
    back = read_mat(saved)
    assert isinstance(back, np.memmap) and back.dtype == np.dtype(dtype)
    assert back.shape == shape and back.tobytes() == values.tobytes()


@pytest.mark.parametrize("header,data_bytes,outcome", [
    ([-1, 2, 8, 5], 0, "negative row count -1"),
    ([2, -3, 8, 5], 0, "negative column count -3"),
    ([2, 2, 8, 0x1007], 16, "depth 7"),
    ([2, 2, 7, 5], 14, "step 7 is smaller than a row"),
    ([2, 2, 0, 5], 0, "step 0 is smaller than a row"),
    ([2, 3, 23, 5 | 8], 46, "step 23 is smaller than a row"),
    ([2, 0, -4, 5], 0, "negative data length"),
    ([2, 2, 8, 5], 15, "16 data bytes but only 15"),
    ([3, 2], 0, "8 bytes, shorter than the 16-byte header"),
    # Accepted, with the shape read: type bits 12-31 ignored, bytes after
    # the data, no rows, no columns, and rows with bytes beyond their
    # elements (a step not aligned to the element size; three channels).
    ([2, 1, 4, 5 | 0xABCD000], 8, (2, 1)),
    ([1, 2, 8, 5], 16, (1, 2)),
    ([0, 3, 12, 5], 0, (0, 3)),
    ([3, 0, 8, 5], 24, (3, 0)),
    ([3, 2, 10, 5], 30, (3, 2)),
    ([3, 2, 17, 2 | 16], 51, (3, 2, 3)),
])
def test_files_are_judged_alike_by_both(tmp_path, mat_tool, header,
                                        data_bytes, outcome):
    data = bytes(range(data_bytes))
    path = write_raw(tmp_path / "m.mat", header, data)
    if isinstance(outcome, str):
        with pytest.raises(MatFileError, match=f"^{path}: .*{outcome}"):
            read_mat(path)
        assert cpp_copy(mat_tool, path) is None
    else:  # The elements at the start of each stored row, to both.
        values = read_mat(path)
        row_bytes = values.nbytes // max(outcome[0], 1)
        assert values.shape == outcome and values.tobytes() == b"".join(
            data[r * header[2]:][:row_bytes] for r in range(outcome[0]))
        assert cpp_copy(mat_tool, path)[:2] == outcome[:2]
        assert read_mat(f"{path}.cpp").tobytes() == values.tobytes()


@pytest.mark.parametrize("make", [
    lambda: random_array("<i2", (9, 12))[::2, ::3],
    lambda: random_array(">f8", (6, 4)).T,
    lambda: random_array("<u1", (5, 3, 1)),   # one channel: stored as 2-D
])
def test_writes_any_memory_layout(tmp_path, make):
    values = make()
    write_mat(tmp_path / "m.mat", values, block_bytes=16)  # several blocks
    back = read_mat(tmp_path / "m.mat")
    assert back.dtype == values.dtype.newbyteorder("<")
    assert back.tobytes() == values.reshape(back.shape).astype(
        back.dtype).tobytes()


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
