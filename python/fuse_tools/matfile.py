"""Matrix files: read them memory-mapped, write them from NumPy arrays.

A matrix file is a 16-byte header of four little-endian signed 32-bit
integers -- ``rows``, ``cols``, ``step`` (bytes from the start of one stored
row to the start of the next) and ``type`` -- followed by ``rows * step``
bytes of stored rows, first row first. Bits 0-2 of ``type`` give the element
depth, bits 3-11 the number of channels minus one; bits 12-31 are ignored on
reading and written as zero. The channels of one element are stored one
after the other, and stored bytes of a row beyond its ``cols`` elements hold
no data.

Shapes: a one-channel matrix is a 2-D array ``(rows, cols)``; a matrix of
``c > 1`` channels is a 3-D array ``(rows, cols, c)``, both on reading and on
writing. Score matrices are one channel of float32.

Files are never read into memory: :func:`read_mat` maps them with
:class:`numpy.memmap`, so a file of many gigabytes opens at once and only the
rows that are touched are read from disk. A ``step`` larger than a row gives
a strided view that skips the extra bytes without copying.

Every file is checked against its header before it is mapped; a header that
does not describe a valid matrix, or a file shorter than its header
announces, raises :class:`MatFileError` (a :class:`ValueError`) whose message
starts with the file's path. The checks are the ones the C++ reader makes, so
a file one side refuses the other refuses too.
"""

import os
from typing import NamedTuple, Optional

import numpy as np

HEADER_BYTES = 16
MAX_CHANNELS = 512
_INT32_MAX = 2**31 - 1
_TYPE_MASK = 0xFFF

# Element dtype of each depth code, in file byte order.
_DEPTH_DTYPES = tuple(np.dtype(code) for code in
                      ("<u1", "<i1", "<u2", "<i2", "<i4", "<f4", "<f8"))
_HEADER_DTYPE = np.dtype("<i4")

# Bytes per block of rows for the writers: large enough for few system
# calls, small enough that a converted block is a small part of memory.
DEFAULT_BLOCK_BYTES = 64 << 20


class MatFileError(ValueError):
    """A matrix file that does not hold a valid matrix, or a matrix that
    cannot be stored in one. The message names the file."""


class MatHeader(NamedTuple):
    """The four header fields, ``type`` masked to its lower 12 bits."""

    rows: int
    cols: int
    step: int
    type: int

    @property
    def depth(self) -> int:
        return self.type & 7

    @property
    def channels(self) -> int:
        return ((self.type & _TYPE_MASK) >> 3) + 1

    @property
    def dtype(self) -> Optional[np.dtype]:
        """Little-endian dtype of one channel, None for depth 7."""
        return _DEPTH_DTYPES[self.depth] if self.depth < 7 else None

    @property
    def row_bytes(self) -> int:
        """Bytes of elements at the start of each stored row (0 for
        depth 7)."""
        if self.dtype is None:
            return 0
        return self.cols * self.channels * self.dtype.itemsize

    @property
    def shape(self) -> tuple:
        """Array shape: (rows, cols), or (rows, cols, channels) when c > 1."""
        if self.channels == 1:
            return (self.rows, self.cols)
        return (self.rows, self.cols, self.channels)


def type_code(dtype, channels: int = 1) -> int:
    """Returns the type code for elements of `channels` channels of `dtype`.

    Any byte order of a supported dtype is accepted (files are little-endian
    and the writers convert). Raises ValueError for an unsupported dtype or
    a channel count outside 1..512.
    """
    dtype = np.dtype(dtype)
    depth = _depth_of(dtype)
    if depth is None:
        raise ValueError(
            f"unsupported element type {dtype}; matrix files hold uint8, "
            "int8, uint16, int16, int32, float32 or float64")
    if not 1 <= channels <= MAX_CHANNELS:
        raise ValueError(f"{channels} channels; matrix files hold 1 to "
                         f"{MAX_CHANNELS}")
    return depth | ((channels - 1) << 3)


def _depth_of(dtype: np.dtype) -> Optional[int]:
    if dtype.fields is not None or dtype.subdtype is not None:
        return None
    little = dtype.newbyteorder("<") if dtype.byteorder == ">" else dtype
    for depth, candidate in enumerate(_DEPTH_DTYPES):
        if little == candidate:
            return depth
    return None


def _validate(path, header: MatHeader) -> None:
    """Raises MatFileError unless `header` describes a readable matrix."""
    rows, cols, step = header.rows, header.cols, header.step
    if rows < 0:
        raise MatFileError(f"{path}: negative row count {rows}")
    if cols < 0:
        raise MatFileError(f"{path}: negative column count {cols}")
    if header.dtype is None:
        raise MatFileError(
            f"{path}: type code {header.type} has depth 7, outside 0..6")
    if rows > 0 and cols > 0 and step < header.row_bytes:
        raise MatFileError(
            f"{path}: step {step} is smaller than a row of {cols} "
            f"{_elements_name(header)} ({header.row_bytes} bytes)")
    if rows * step < 0:
        raise MatFileError(
            f"{path}: negative data length: {rows} rows of step {step}")


def _elements_name(header: MatHeader) -> str:
    name = f"{header.dtype.name} values"
    if header.channels > 1:
        name = f"{header.channels}-channel {header.dtype.name} elements"
    return name


def read_header(path) -> MatHeader:
    """Returns the validated header of the matrix file at `path`.

    Raises MatFileError when the file is shorter than the 16 header bytes or
    the header does not describe a valid matrix; OSError when the file
    cannot be opened.
    """
    with open(path, "rb") as file:
        raw = file.read(HEADER_BYTES)
    if len(raw) < HEADER_BYTES:
        raise MatFileError(f"{path}: {len(raw)} bytes, shorter than the "
                           f"{HEADER_BYTES}-byte header")
    rows, cols, step, code = map(int, np.frombuffer(raw, _HEADER_DTYPE))
    header = MatHeader(rows, cols, step, code & _TYPE_MASK)
    _validate(path, header)
    return header


def read_mat(path, mode: str = "r") -> np.ndarray:
    """Maps the matrix file at `path` and returns it as an array.

    The result is a :class:`numpy.memmap` of shape ``(rows, cols)`` (or
    ``(rows, cols, channels)``) and the file's little-endian dtype; with a
    ``step`` larger than a row it is a strided view of the mapping. `mode` is
    ``"r"`` (read-only, the default), ``"r+"`` (writes go to the file) or
    ``"c"`` (copy-on-write). A matrix without elements (no rows or no
    columns) has nothing to map and comes back as an ordinary empty array.
    Bytes after the data section are ignored.

    Raises MatFileError for an invalid header or a file shorter than
    ``16 + rows * step`` bytes; OSError when the file cannot be opened.
    """
    if mode not in ("r", "r+", "c"):
        raise ValueError(f"mode must be 'r', 'r+' or 'c', not {mode!r}")
    header = read_header(path)
    length = header.rows * header.step
    available = os.path.getsize(path) - HEADER_BYTES
    if available < length:
        raise MatFileError(
            f"{path}: header announces {header.rows} x {header.cols} "
            f"{_elements_name(header)} (step {header.step}) = {length} data "
            f"bytes but only {available} follow the header")
    if header.rows == 0 or header.cols == 0:
        return np.zeros(header.shape, header.dtype)
    data = np.memmap(path, np.uint8, mode, offset=HEADER_BYTES,
                     shape=(length,))
    # Rows of `step` bytes, each cut to its elements and reinterpreted: a
    # view, so nothing is copied whatever the step.
    rows = data.reshape(header.rows, header.step)[:, :header.row_bytes]
    return rows.view(header.dtype).reshape(header.shape)


class MatWriter:
    """Writes a matrix file block of rows by block of rows.

    The file is written under a temporary name beside `path` and renamed to
    `path` only when every announced row has arrived and :meth:`close`
    succeeds; on any failure, or when used as a context manager and the
    block raises, the temporary file is removed and `path` is left as it
    was. Rows are stored contiguously (``step = cols * element size``).
    """

    def __init__(self, path, rows: int, cols: int, dtype, channels: int = 1):
        try:
            code = type_code(dtype, channels)
        except ValueError as error:
            raise MatFileError(f"{path}: {error}") from None
        self.header = MatHeader(rows, cols, 0, code)
        row_bytes = self.header.row_bytes
        if not 0 <= rows <= _INT32_MAX or not 0 <= cols <= _INT32_MAX:
            raise MatFileError(f"{path}: {rows} x {cols} does not fit the "
                               "32-bit header fields")
        if row_bytes > _INT32_MAX:
            raise MatFileError(f"{path}: a row of {row_bytes} bytes does not "
                               "fit the 32-bit step field")
        self.header = self.header._replace(step=row_bytes)
        self.path = os.fspath(path)
        self._partial = self.path + ".partial"
        self._rows_written = 0
        try:
            self._file = open(self._partial, "wb")
        except OSError as error:  # Reported for the path the caller gave.
            raise OSError(error.errno, error.strerror, self.path) from None
        try:
            self._file.write(np.array(self.header, _HEADER_DTYPE).tobytes())
        except BaseException:
            self.abort()
            raise

    def write_rows(self, block) -> None:
        """Appends the rows of `block`, shaped ``(k, cols)`` (or
        ``(k, cols, channels)``) with the writer's dtype in any byte order.
        Raises ValueError for another shape or dtype, or more rows than
        announced."""
        block = np.asarray(block)
        expected = self.header.shape[1:]
        if block.ndim != len(expected) + 1 or block.shape[1:] != expected:
            raise ValueError(f"{self.path}: block of shape {block.shape} does "
                             f"not hold rows of shape {expected}")
        if _depth_of(block.dtype) != self.header.depth:
            raise ValueError(f"{self.path}: block of {block.dtype} for a "
                             f"matrix of {self.header.dtype}")
        if self._rows_written + block.shape[0] > self.header.rows:
            raise ValueError(f"{self.path}: more than the announced "
                             f"{self.header.rows} rows")
        # Contiguous little-endian copy of this block only (none when it
        # already is one), however the caller's array is laid out.
        self._file.write(
            np.ascontiguousarray(block, self.header.dtype).data)
        self._rows_written += block.shape[0]

    def close(self) -> None:
        """Finishes the file and moves it to `path`. Raises MatFileError
        (and removes the temporary file) when rows are missing."""
        if self._file is None:
            return
        if self._rows_written != self.header.rows:
            self.abort()
            raise MatFileError(f"{self.path}: {self._rows_written} of "
                               f"{self.header.rows} rows written")
        try:
            self._file.close()
            os.replace(self._partial, self.path)
        except BaseException:
            self.abort()
            raise
        self._file = None

    def abort(self) -> None:
        """Drops the temporary file; `path` is left untouched."""
        if self._file is not None:
            self._file.close()
            self._file = None
        try:
            os.remove(self._partial)
        except FileNotFoundError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            self.close()
        else:
            self.abort()
        return False


def rows_per_block(row_bytes: int, block_bytes: int = DEFAULT_BLOCK_BYTES):
    """Returns how many rows of `row_bytes` bytes make a block of about
    `block_bytes` bytes, at least one."""
    return max(1, block_bytes // max(1, row_bytes))


def write_mat(path, array, block_bytes: int = DEFAULT_BLOCK_BYTES) -> None:
    """Writes `array` to `path` as a matrix file.

    `array` is 2-D (one channel) or 3-D ``(rows, cols, channels)``, of
    uint8, int8, uint16, int16, int32, float32 or float64 in any byte order
    and memory layout (memory maps included). It is written in blocks of
    rows, so at most one block of about `block_bytes` is copied at a time.
    The file appears at `path` only once complete. Raises ValueError for
    another shape or dtype (nothing is written), OSError when writing fails.
    """
    array = np.asanyarray(array)
    if array.ndim not in (2, 3):
        raise ValueError(f"{path}: a matrix file holds a 2-D array (or 3-D "
                         f"rows x cols x channels), not shape {array.shape}")
    if array.ndim == 3 and array.shape[2] == 1:
        array = array[:, :, 0]  # One channel is stored (and read) as 2-D.
    channels = array.shape[2] if array.ndim == 3 else 1
    rows, cols = array.shape[:2]
    with MatWriter(path, rows, cols, array.dtype, channels) as writer:
        step = rows_per_block(writer.header.row_bytes, block_bytes)
        for start in range(0, rows, step):
            writer.write_rows(array[start:start + step])
