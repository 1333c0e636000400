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


def fnv1a(data: bytes) -> str:
    value = 0xCBF29CE484222325
    for byte in data:
        value = ((value ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return f"{value:016x}"


def cpp_load(mat_tool, path, out=None):
    """Loads `path` with MatIO (saving it to `out`); returns (rows, cols,
    step, type, checksum of the elements), or None when MatIO refuses."""
    run = subprocess.run([mat_tool, path] + ([out] if out else []),
                         capture_output=True, text=True)
    if run.returncode != 0:
        return None
    fields = run.stdout.split()
    return tuple(int(v) for v in fields[:4]) + (fields[4],)


def write_raw(path, header, data=b""):
    path.write_bytes(np.array(header, "<i4").tobytes() + data)
    return path


@pytest.mark.parametrize("shape", [(3, 5), (1, 1), (4, 2, 3)])
@pytest.mark.parametrize("dtype", DTYPES)
def test_python_cpp_python_round_trip(tmp_path, mat_tool, dtype, shape):
    values = random_array(dtype, shape)
    written, saved = tmp_path / "py.mat", tmp_path / "cpp.mat"
    write_mat(written, values)
    channels = shape[2] if len(shape) == 3 else 1
    row_bytes = shape[1] * channels * np.dtype(dtype).itemsize
    assert cpp_load(mat_tool, written, saved) == (
        *shape[:2], row_bytes, type_code(dtype, channels),
        fnv1a(values.tobytes()))
    assert saved.read_bytes() == written.read_bytes()
    back = read_mat(saved)
    assert isinstance(back, np.memmap) and back.dtype == np.dtype(dtype)
    assert back.shape == shape and back.tobytes() == values.tobytes()


def test_reads_what_the_generator_writes(tmp_path, make_experiment,
                                         mat_tool):
    subprocess.run([make_experiment, "--out", tmp_path, "--probes", "40",
                    "--subjects", "8", "--distractors", "300"], check=True)
    for name, shape in [("probe_scores.mat", (40, 40)),
                        ("distractor_scores.mat", (40, 300))]:
        scores = read_mat(tmp_path / name)
        assert scores.shape == shape and scores.dtype == np.dtype("<f4")
        assert cpp_load(mat_tool, tmp_path / name)[4] == fnv1a(
            scores.tobytes())
        assert np.isfinite(scores).all() and np.unique(scores).size > 100


@pytest.mark.parametrize("dtype,shape,padding", [
    ("<f4", (3, 2), 2),       # rows not aligned to the element size
    ("<f4", (4, 5), 12),
    ("<u2", (3, 2, 3), 5),    # three channels
])
def test_strided_rows(tmp_path, mat_tool, dtype, shape, padding):
    values = random_array(dtype, shape, seed=1)
    step = values[0].nbytes + padding
    data = b"".join(row.tobytes() + b"\xEE" * padding for row in values)
    code = type_code(dtype, shape[2] if len(shape) == 3 else 1)
    path = write_raw(tmp_path / "s.mat", [*shape[:2], step, code], data)
    view = read_mat(path)
    assert isinstance(view, np.memmap) and not view.flags.owndata
    assert view.strides[0] == step and view.tobytes() == values.tobytes()
    contiguous = tmp_path / "c.mat"
    assert cpp_load(mat_tool, path, contiguous)[4] == fnv1a(values.tobytes())
    assert read_mat(contiguous).tobytes() == values.tobytes()


@pytest.mark.parametrize("header,data_bytes,message", [
    ([-1, 2, 8, 5], 0, "negative row count -1"),
    ([2, -3, 8, 5], 0, "negative column count -3"),
    ([2, 2, 8, 0x1007], 16, "depth 7"),
    ([2, 2, 7, 5], 14, "step 7 is smaller than a row"),
    ([2, 2, 0, 5], 0, "step 0 is smaller than a row"),
    ([2, 3, 23, 5 | 8], 46, "step 23 is smaller than a row"),
    ([2, 0, -4, 5], 0, "negative data length"),
    ([2, 2, 8, 5], 15, "16 data bytes but only 15"),
    ([1, 1, 8, 6], 4, "8 data bytes but only 4"),
    ([3, 2], 0, "8 bytes, shorter than the 16-byte header"),
])
def test_invalid_files_are_refused_by_both(tmp_path, mat_tool, header,
                                           data_bytes, message):
    path = write_raw(tmp_path / "bad.mat", header, b"\x01" * data_bytes)
    with pytest.raises(MatFileError, match=f"^{path}: .*{message}"):
        read_mat(path)
    assert cpp_load(mat_tool, path) is None


@pytest.mark.parametrize("header,extra,shape", [
    ([2, 1, 4, 5 | 0xABCD000], b"", (2, 1)),   # bits 12-31 ignored
    ([1, 2, 8, 5], b"trailing", (1, 2)),       # bytes after the data
    ([0, 3, 12, 5], b"", (0, 3)),
    ([3, 0, 8, 5], b"\0" * 24, (3, 0)),
])
def test_unusual_valid_files_are_accepted_by_both(tmp_path, mat_tool, header,
                                                  extra, shape):
    data = np.arange(shape[0] * shape[1], dtype="<f4").tobytes()
    path = write_raw(tmp_path / "ok.mat", header, data + extra)
    assert read_mat(path).shape == shape
    assert read_mat(path).tobytes() == data
    assert cpp_load(mat_tool, path)[:2] == shape


def test_huge_file_is_mapped_not_read(tmp_path):
    rows, cols = 1000, 3_500_000  # 14 GB of floats, stored sparsely.
    path = write_raw(tmp_path / "huge.mat", [rows, cols, cols * 4, 5])
    try:
        with open(path, "r+b") as file:
            file.truncate(16 + rows * cols * 4)
            file.seek(16 + rows * cols * 4 - 4)
            file.write(np.float32(7.5).tobytes())
    except OSError as error:
        pytest.skip(f"no sparse 14 GB file here: {error}")
    scores = read_mat(path)
    assert isinstance(scores, np.memmap) and scores.shape == (rows, cols)
    assert scores[-1, -1] == 7.5 and scores[-1, -2] == 0


@pytest.mark.parametrize("make", [
    lambda: np.asfortranarray(random_array("<f4", (7, 5))),
    lambda: random_array("<i2", (9, 12))[::2, ::3],
    lambda: random_array("<f8", (6, 4)).astype(">f8"),
    lambda: random_array("<u1", (5, 3, 1)),   # one channel: stored as 2-D
])
def test_writes_any_memory_layout(tmp_path, make):
    values = make()
    write_mat(tmp_path / "m.mat", values, block_bytes=16)  # several blocks
    back = read_mat(tmp_path / "m.mat")
    assert back.dtype == values.dtype.newbyteorder("<")
    assert np.array_equal(back, values.reshape(back.shape))


@pytest.mark.parametrize("values,message", [
    (np.zeros(4, np.float32), "2-D array"),
    (np.zeros((2, 2), np.int64), "unsupported element type int64"),
    (np.zeros((2, 2), np.float16), "unsupported element type float16"),
    (np.zeros((2, 2, 513), np.uint8), "513 channels"),
])
def test_refused_arrays_leave_the_target_alone(tmp_path, values, message):
    target = tmp_path / "m.mat"
    target.write_bytes(b"keep")
    with pytest.raises(ValueError, match=message):
        write_mat(target, values)
    assert target.read_bytes() == b"keep"
    assert os.listdir(tmp_path) == ["m.mat"]
