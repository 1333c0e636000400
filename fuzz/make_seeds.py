#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into DIR/<target>/.

Usage: make_seeds.py DIR

Matrix files of every depth, with and without bytes beyond each row, empty
and truncated ones, headers that lie about their size; the same with row
limits in front for PartialRead, and with a piece size and a selection in
front for the row stream; .npy files of every header version, both orders
and both float types, with the dtypes, shapes and lies that are refused,
with a piece size and a selection in front; and JSON documents of each input
kind.
"""
import os
import struct
import sys

DEPTH_BYTES = [1, 1, 2, 2, 4, 4, 8]


def matrix(rows, cols, type_code, step=None, fill=None, data_rows=None):
    element = ((type_code & 0xFFF) >> 3) + 1
    element *= DEPTH_BYTES[type_code & 7] if (type_code & 7) < 7 else 1
    if step is None:
        step = cols * element
    header = struct.pack("<iiii", rows, cols, step, type_code)
    count = rows if data_rows is None else data_rows
    length = max(count * step, 0)
    data = bytes((i * 37 + 11) & 0xFF for i in range(length)) if fill is None else fill
    return header + data


def matrices():
    seeds = [
        matrix(0, 0, 5),
        matrix(0, 7, 5),
        matrix(3, 0, 5, step=4),
        matrix(1, 1, 5),
        matrix(3, 2, 5),                        # floats, contiguous
        matrix(4, 4, 0),                        # uint8
        matrix(2, 3, 6),                        # doubles
        matrix(2, 2, 3 << 3 | 5),               # 4-channel floats
        matrix(5, 3, 5, step=20),               # bytes beyond each row
        matrix(3, 2, 2, step=70),               # stored rows longer than a batch
        matrix(20, 4, 5),                       # several pieces and chunks
        matrix(2, 2, 5 | (1 << 20)),            # type bits above 11
        matrix(3, 2, 5, data_rows=2),           # ends early
        matrix(1 << 20, 1 << 18, 5, step=1 << 20, data_rows=0),  # 2^40 bytes
        matrix(-1, 2, 5, data_rows=0),
        matrix(2, 2, 5, step=3, data_rows=0),   # step below a row
        matrix(2, 2, 7, step=8, data_rows=0),   # depth 7
        struct.pack("<iii", 1, 1, 4),           # header cut short
    ]
    return seeds


def npy(descr, fortran, shape, data=None, version=1, dict_text=None):
    """A .npy file padded as NumPy pads it; `data` defaults to the elements
    the header announces (capped), `dict_text` replaces the dict."""
    if dict_text is None:
        dims = ", ".join(str(n) for n in shape)
        dims += "," if len(shape) == 1 else ""
        dict_text = "{'descr': '%s', 'fortran_order': %s, 'shape': (%s), }" % (
            descr, "True" if fortran else "False", dims)
    prefix = 10 if version == 1 else 12
    text = dict_text.encode("latin1")
    text += b" " * ((-(prefix + len(text) + 1)) % 64) + b"\n"
    length = struct.pack("<H" if version == 1 else "<I", len(text))
    if data is None:
        count = 1
        for n in shape:
            count *= n
        size = int(descr[2:]) if descr[2:].isdigit() else 1
        stored = min(count * size, 4096)
        data = bytes((i * 53 + 7) & 0xFF for i in range(stored))
    return b"\x93NUMPY" + bytes([version, 0]) + length + text + data


def npy_files():
    doubles = struct.pack("<8d", 0.1, 0.5, 1e300, -1e300, float("inf"),
                          float("nan"), 3.4028235677973366e38, 1e-50)
    return [
        npy("<f4", False, (3, 4)),
        npy("<f4", True, (3, 4)),
        npy("<f8", False, (2, 4), data=doubles),
        npy("<f8", True, (4, 2), data=doubles),
        npy("<f4", False, (9, 7), version=2),
        npy("<f8", True, (5, 6), version=3),
        npy("<f4", True, (40, 3)),              # columns beyond a panel
        npy("<f4", False, (0, 5)),
        npy("<f4", True, (5, 0)),
        npy("<f4", False, (3, 4), data=b"\0" * 40),     # ends early
        npy("<f4", False, (100000, 100000), data=b""),  # lies about its data
        npy("<i8", False, (2, 2)),
        npy(">f4", False, (2, 2)),
        npy("<f4", False, (2, 3, 4)),
        npy("<f4", False, (6,)),
        npy("<f4", False, (3000000000, 1), data=b""),
        npy("<f4", False, (2, 2), dict_text="{'descr': [('a', '<f4')], "
            "'fortran_order': False, 'shape': (2,)}"),
        npy("<f4", False, (2, 2), dict_text="{\"descr\": \"<f4\", "
            "\"shape\": (2, 2,), \"fortran_order\": False}"),
        npy("<f4", False, (2, 2), dict_text="{'descr': '<f4', "
            "'fortran_order': False, 'shape': (2L, 2L)}"),
        npy("<f4", False, (2, 2), version=2)[:12] + b"{",  # header cut short
        b"\x93NUMPY\x02\x00\xf0\xff\xff\xff{'descr'",   # length that lies
    ]


def json_documents():
    return [
        b'{"id": ["a", "b", "a"]}',
        b'{"id": []}',
        b'{"id": ["b", "a", "b", "c", "a"], "other": 3}',
        b'// comment\n{"id": ["", "A", "a", null, true, false]} /* end */',
        b'{"id": [1, 2]}',
        b'{"id": {"a": 1}}',
        b'{"id": "name"}',
        b'null',
        b'[4, 0, 4, -2147483648, 2147483647]',
        b'[2147483648, 1.5, "7", null, true]',
        b'["scores/a.mat", "b.mat", null, false]',
        b'[[1], {"x": 2}]',
        b'{"id": ["\\u00e9\\ud83d\\ude00", "tab\\tand\\nnewline"]}',
        b'[1e400, -0.0, 1E-7]',
        b'{"a": ' * 50 + b'1' + b'}' * 50,
        b'[' * 1100 + b']' * 1100,                 # beyond the parser's depth
        b'{"id": ["unterminated}',
    ]


def main():
    root = sys.argv[1]
    corpora = {
        "mat_read": matrices(),
        "mat_stream_read": matrices(),
        "mat_partial_read": [struct.pack("<i", n) + m
                             for n in (0, 1, 2, -1, 2147483647)
                             for m in matrices()],
        # Piece size - 1, rows and columns selected, then the file.
        "mat_row_stream": [struct.pack("<Bbh", piece, rows, cols) + m
                           for piece, rows, cols in ((0, 127, 32767),
                                                     (6, 2, 1), (255, -1, 3))
                           for m in matrices()],
        # Piece size - 1 (top bit: as advised), rows and columns selected,
        # then the file.
        "npy_read": [struct.pack("<Bbb", piece, rows, cols) + f
                     for piece, rows, cols in ((0, 127, 127), (5, 2, 1),
                                               (0x83, 100, 100), (255, -1, 3))
                     for f in npy_files() + matrices()[:4]],
        "json_inputs": json_documents(),
    }
    for target, seeds in corpora.items():
        directory = os.path.join(root, target)
        os.makedirs(directory, exist_ok=True)
        for i, seed in enumerate(seeds):
            with open(os.path.join(directory, "seed_%03d" % i), "wb") as out:
                out.write(seed)


if __name__ == "__main__":
    main()
