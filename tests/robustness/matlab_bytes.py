"""MATLAB level-5 files written byte by byte, in either byte order, so that tests can build the
files no writer makes: data types outside the format, matrices where numbers belong, variables
nested thousands of levels deep, compressed variables holding any of these."""
import struct
import zlib

import numpy as np

INT8, INT32, UINT32, DOUBLE, MATRIX, COMPRESSED = 1, 5, 6, 9, 14, 15
CELL, DOUBLE_CLASS = 1, 6


def element(order, data_type, payload):
    """A tagged element, padded to a multiple of 8 bytes."""
    return struct.pack(order + "II", data_type, len(payload)) + payload + b"\0" * (-len(payload) % 8)


def matrix(order, matrix_class, dims, name, body):
    head = element(order, UINT32, struct.pack(order + "II", matrix_class, 0))
    head += element(order, INT32, struct.pack(order + "%di" % len(dims), *dims))
    return element(order, MATRIX, head + element(order, INT8, name.encode()) + body)


def numbers(order, name, values, data_type=DOUBLE):
    """A double matrix whose data element has `data_type` (DOUBLE for a valid file)."""
    values = np.asarray(values, dtype=np.dtype(np.float64).newbyteorder(order))
    return matrix(order, DOUBLE_CLASS, list(values.shape), name, element(order, data_type, values.tobytes(order="F")))


def nested_cells(order, name, depth):
    """A 1x1 cell holding a 1x1 cell ... `depth` levels down to an empty double matrix."""
    inner = matrix(order, DOUBLE_CLASS, [0, 0], "", element(order, DOUBLE, b""))
    for _ in range(depth - 1):
        inner = matrix(order, CELL, [1, 1], "", inner)
    return matrix(order, CELL, [1, 1], name, inner)


def compressed(order, variable):
    packed = zlib.compress(variable)
    return struct.pack(order + "II", COMPRESSED, len(packed)) + packed


def mat_file(order, *variables):
    """Header (byte order "<" or ">") and the variables; a head-pose file unless told otherwise."""
    mark = b"IM" if order == "<" else b"MI"
    header = b"MATLAB 5.0 MAT-file, written by the tests".ljust(116, b" ") + b"\0" * 8
    return header + struct.pack(order + "H", 0x0100) + mark + b"".join(variables)


def pose_file(order="<", pose_type=DOUBLE, extra=()):
    return mat_file(order, numbers(order, "Pose_Para", [[1.0, 2.0, 3.0]], pose_type),
                    numbers(order, "pt2d", np.zeros((2, 68))), *extra)
