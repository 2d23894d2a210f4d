# SPDX-License-Identifier: MIT
"""16-bit samples held in memory, as the bytes of a raw file.

The library reads its input from a file name. Samples in memory are put
in a file that lives in memory where the system has one (Linux's
memfd_create, reached by its /proc/self/fd name), else in a temporary file
that is removed at once after the call.
"""

from __future__ import annotations

import array
import contextlib
import os
import sys
import tempfile
from typing import Iterator

_NATIVE = ("", "@", "=")
_LITTLE = ("<",)
_BIG = (">", "!")


def raw_bytes(samples: object) -> bytes:
    """The bytes a raw little-endian file of ``samples`` holds: a bytes-like
    object as it is, an array of 16-bit integers (``array('h')``, a numpy
    int16 array, any buffer of format h or H) by value. TypeError for
    anything else."""
    try:
        view = memoryview(samples)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"samples must support the buffer protocol, not {type(samples).__name__}") from None
    with view:
        order, code = view.format[:-1], view.format[-1:]
        if view.itemsize == 1 and code in ("B", "b", "c"):
            return view.tobytes()
        if view.itemsize != 2 or code not in ("h", "H") or order not in _NATIVE + _LITTLE + _BIG:
            raise TypeError(f"samples must be 16-bit integers or bytes, not format {view.format!r}")
        data = view.tobytes()
    big = order in _BIG or (order in _NATIVE and sys.byteorder == "big")
    if big:
        swapped = array.array("h", data)
        swapped.byteswap()
        data = swapped.tobytes()
    return data


@contextlib.contextmanager
def as_file(data: bytes) -> Iterator[str]:
    """A name under which ``data`` can be read as a file, for the block."""
    if hasattr(os, "memfd_create") and os.path.isdir("/proc/self/fd"):
        fd = os.memfd_create("kivgsm-samples", os.MFD_CLOEXEC)
        try:
            with os.fdopen(os.dup(fd), "wb") as f:
                f.write(data)
            yield f"/proc/self/fd/{fd}"
        finally:
            os.close(fd)
        return
    f = tempfile.NamedTemporaryFile(prefix="kivgsm-", suffix=".raw", delete=False)
    try:
        with f:
            f.write(data)
        yield f.name
    finally:
        os.unlink(f.name)
