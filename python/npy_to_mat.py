#!/usr/bin/python3
"""npy_to_mat.py scores.npy scores.mat: converts a 2-D float32 or float64
NumPy array to a float32 matrix file, streaming it in blocks of rows."""

import sys

from fuse_tools import cli, npy_convert

if __name__ == "__main__":
    sys.exit(cli.run("npy_to_mat", npy_convert.main))
