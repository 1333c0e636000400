"""Conversion of NumPy .npy score arrays to float32 matrix files."""

import argparse
import sys

import numpy as np

from .matfile import DEFAULT_BLOCK_BYTES, MatFileError, MatWriter, \
    rows_per_block


def convert(source, target, block_bytes: int = DEFAULT_BLOCK_BYTES):
    """Writes the 2-D float32 or float64 array in the .npy file `source` to
    the matrix file `target` as float32. Returns (changed, total): how many
    of the array's `total` values changed on the way: float64 values that
    float32 cannot hold exactly, overflow to infinity included (NaN stays
    NaN and counts as unchanged).

    The source is memory-mapped and written in blocks of about `block_bytes`
    bytes of rows, C or Fortran order alike, so only one converted block is
    in memory at a time. Raises MatFileError, naming `source`, when it is not
    a .npy file or not a 2-D float32/float64 array; `target` is then not
    touched, and it appears only once complete.
    """
    with open(source, "rb") as file:
        magic = file.read(len(np.lib.format.MAGIC_PREFIX))
    if magic != np.lib.format.MAGIC_PREFIX:
        raise MatFileError(f"{source}: not a .npy file (no NumPy header)")
    try:
        array = np.load(source, mmap_mode="r", allow_pickle=False)
    except (ValueError, EOFError) as error:
        raise MatFileError(f"{source}: not a readable .npy file: {error}") \
            from None
    if array.ndim != 2:
        raise MatFileError(f"{source}: a score matrix is 2-D, this array has "
                           f"shape {array.shape}")
    if array.dtype.kind != "f" or array.dtype.itemsize not in (4, 8):
        raise MatFileError(f"{source}: holds {array.dtype} values; only "
                           "float32 and float64 are converted")
    rows, cols = array.shape
    changed = 0
    with MatWriter(target, rows, cols, np.float32) as writer:
        step = rows_per_block(cols * array.dtype.itemsize, block_bytes)
        for start in range(0, rows, step):
            block = np.asarray(array[start:start + step])
            if block.dtype.itemsize == 8:
                with np.errstate(over="ignore"):
                    narrow = block.astype(np.float32)
                # Exact comparison in float64; NaN compares unequal to
                # itself but is carried over as NaN.
                changed += int(np.count_nonzero(
                    (narrow != block) & ~np.isnan(block)))
                block = narrow
            writer.write_rows(block)
    return changed, rows * cols


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        prog="npy_to_mat",
        description="Converts a 2-D float32 or float64 .npy array to a "
        "float32 matrix file for fuse_results, streaming it row block by "
        "row block.")
    parser.add_argument("source", help=".npy file (2-D, float32 or float64)")
    parser.add_argument("target", help="matrix file to write")
    args = parser.parse_args(argv)
    changed, total = convert(args.source, args.target)
    if changed:
        print(f"npy_to_mat: note: {changed} of {total} float64 values of "
              f"{args.source} are not exactly representable as float32 and "
              "changed (rounded, or infinite beyond float32's range)",
              file=sys.stderr)
    return 0
