# SPDX-License-Identifier: MIT
"""Loading the shared library and handing it paths as it takes them.

The library takes zero-terminated strings of UTF-16 code units (char16_t
on Linux, wchar_t on Windows). ctypes has no such type on Linux, where
``c_wchar_p`` is UTF-32: a path passed that way reads as its first letter.
Every entry point is therefore declared here to take a pointer to 16-bit
units, and paths are encoded by ``units`` alone.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from typing import Any, Callable, Optional, Union, cast

LIBRARY_VARIABLE = "KIVGSM_LIBRARY"
"""An environment variable naming the library file to load instead."""

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# UTF-16 in the machine's byte order: the code units as the library reads them.
_UTF16 = "utf-16-le" if sys.byteorder == "little" else "utf-16-be"
_Units = ctypes.POINTER(ctypes.c_uint16)


def units(path: PathArg, role: str) -> "tuple[str, ctypes.Array[ctypes.c_uint16]]":
    """Returns ``path`` as text and as a zero-terminated array of UTF-16
    code units. ``role`` ("input", "output"...) names it in errors.

    A bytes path is decoded with the file-system encoding, as ``os`` does.
    Raises TypeError for anything but str, bytes or os.PathLike, and
    ValueError for a name the library cannot be given: one holding a NUL
    character (it would end the name early) or a lone surrogate (no UTF-16
    form; ``os.fsdecode`` makes them of bytes that the file-system encoding
    cannot decode).
    """
    name = os.fspath(path)
    if isinstance(name, bytes):
        name = os.fsdecode(name)
    if "\0" in name:
        raise ValueError(f"the {role} path {name!r} holds a NUL character, which would end it early")
    try:
        data = name.encode(_UTF16)
    except UnicodeEncodeError as e:
        bad = ord(name[e.start])
        raise ValueError(
            f"the {role} path {name!r} has no UTF-16 form: it holds the lone surrogate U+{bad:04X} "
            "(bytes that the file-system encoding cannot decode become such surrogates); "
            "kivgsm takes only names that are valid Unicode"
        ) from None
    array = (ctypes.c_uint16 * (len(data) // 2 + 1)).from_buffer_copy(data + b"\0\0")
    return name, array


# The library a platform wheel carries beside the package, with the libgsm
# it uses (Linux), loaded before any other.
_HERE = os.path.dirname(os.path.abspath(__file__))
_BESIDE = os.path.join(_HERE, "kivgsm.dll" if sys.platform == "win32" else "libkivgsm.so.1")
_GSM_BESIDE = os.path.join(_HERE, "libgsm.so.1")


def _candidates() -> "list[str]":
    """Beside the package first, then KIVGSM_LIBRARY, then the system's."""
    found = [_BESIDE] if os.path.isfile(_BESIDE) else []
    named = os.environ.get(LIBRARY_VARIABLE)
    if named:
        return found + [named]
    if sys.platform == "win32":
        # find_library searches PATH; the bare name then asks Windows'
        # default DLL directories (and those added by os.add_dll_directory).
        on_path = ctypes.util.find_library("kivgsm")
        return found + ([on_path] if on_path else []) + ["kivgsm.dll"]
    return found + ["libkivgsm.so.1"]


class Library:
    """The five entry points, declared with their real argument types."""

    def __init__(self, name: str) -> None:
        self.name = name
        if name == _BESIDE and os.path.isfile(_GSM_BESIDE):
            # Loaded first, so that the library's need of libgsm.so.1 is met
            # by this one, whatever the system has.
            ctypes.CDLL(_GSM_BESIDE, mode=ctypes.RTLD_GLOBAL)
        # WinDLL: the functions are __stdcall in a 32-bit Windows DLL (on
        # 64-bit Windows the two are the same).
        self.dll = ctypes.WinDLL(name) if os.name == "nt" else ctypes.CDLL(name)
        self.KivWave2GSM610 = self._declare("KivWave2GSM610", _Units, _Units)
        self.KivGSMSoundRecorderStart = self._declare("KivGSMSoundRecorderStart", _Units)
        self.KivGSMSoundRecorderStop = self._declare("KivGSMSoundRecorderStop")
        self.KivGSMWAVSoundRecorderStart = self._declare("KivGSMWAVSoundRecorderStart", _Units)
        self.KivGSMWAVSoundRecorderStop = self._declare("KivGSMWAVSoundRecorderStop")

    def _declare(self, entry: str, *args: Any) -> Callable[..., int]:
        function = getattr(self.dll, entry)
        function.argtypes = list(args)
        function.restype = ctypes.c_int32
        return cast(Callable[..., int], function)


_lock = threading.Lock()
_library: Optional[Library] = None


def library() -> Library:
    """The loaded library, loaded on first use."""
    global _library
    with _lock:
        if _library is None:
            errors = []
            for name in _candidates():
                try:
                    _library = Library(name)
                    break
                except OSError as e:
                    errors.append(f"{name}: {e}")
            else:
                raise OSError(
                    "kivgsm cannot load its shared library ("
                    + "; ".join(errors)
                    + "). Install it (Debian: libkivgsm1; Windows: kivgsm.dll beside the kivgsm package "
                    + f"or on the DLL search path), or name the file in {LIBRARY_VARIABLE}."
                )
        return _library
