# SPDX-License-Identifier: MIT
"""The library's result codes as exceptions: one table, one class per kind."""

from __future__ import annotations

from typing import Any, Dict, Mapping, Optional, Tuple, Type

OK = 999
"""KIV_OK: the call succeeded."""


class Error(Exception):
    """A kivgsm call returned a code other than KIV_OK (999).

    ``code`` is the library's result code, ``meaning`` its meaning as
    kivgsm.h words it, and ``path`` the path the code is about (``None``
    when it is about none). The message names the path(s) of the call.
    Kinds that match a built-in exception derive from it as well, so
    ``except FileNotFoundError`` catches a missing input.
    """

    code: int
    meaning: str
    path: Optional[str]

    def __init__(self, code: int, meaning: str, message: str, path: Optional[str] = None) -> None:
        super().__init__(message)
        self.code = code
        self.meaning = meaning
        self.path = path
        self.message = message
        if isinstance(self, OSError):
            setattr(self, "filename", path)  # what OSError handlers read

    def __str__(self) -> str:
        # OSError would print "[Errno None] None: ..." once filename is set.
        return self.message

    def __reduce__(self) -> Tuple[Any, Tuple[Any, ...]]:
        return (_rebuild, (type(self), self.code, self.meaning, self.message, self.path))


def _rebuild(cls: Type[Error], code: int, meaning: str, message: str, path: Optional[str]) -> Error:
    return cls(code, meaning, message, path)


class DeviceError(Error, OSError):
    """Codes 1-3: the audio input cannot be opened, given its buffer or started."""


class OutputError(Error, OSError):
    """Code 4: the output file cannot be created (missing folder, no
    permission, a folder, a FIFO or a device that cannot seek...)."""


class InputError(Error, FileNotFoundError):
    """Code 5: the input file cannot be opened or read."""


class CodecError(Error):
    """Code 6: the GSM codec cannot be created."""


class WriteError(Error, OSError):
    """Code 7: writing the output failed (a full disk, for instance); the
    file is finished and holds the whole blocks that reached it."""


class BusyError(Error, RuntimeError):
    """Code 8: a recording of the same kind is already running."""


class ArgumentError(Error, ValueError):
    """Code 9: an empty path, or an output that is the input or is being
    written (a running recording or conversion, in any process)."""


class TooLongError(Error):
    """Code 10: the audio goes beyond 13421772 blocks; that many were
    written and the file is finished."""


# The one table: result code -> (exception class, meaning as kivgsm.h words it).
_CODES: Dict[int, Tuple[Type[Error], str]] = {
    1: (DeviceError, "the audio input device cannot be opened"),
    2: (DeviceError, "the capture buffer cannot be queued"),
    3: (DeviceError, "audio input cannot be started"),
    4: (OutputError, "the output file cannot be created"),
    5: (InputError, "the input file cannot be opened or read"),
    6: (CodecError, "the codec cannot be created, or libgsm lacks WAV49"),
    7: (WriteError, "a write, seek, flush or close of the output failed"),
    8: (BusyError, "the recorder is already running"),
    9: (ArgumentError, "null, empty or malformed path; output is the input or being written"),
    10: (TooLongError, "audio beyond 13421772 blocks; that many were written"),
}

MEANINGS: Mapping[int, str] = {code: meaning for code, (_, meaning) in _CODES.items()}
"""Each error code's meaning, as kivgsm.h words it."""


def error_for(code: int, what: str, path: Optional[str]) -> Error:
    """The exception for a result code; ``what`` says what the call was
    doing and names its path(s), ``path`` is the one the code is about."""
    cls, meaning = _CODES.get(code, (Error, "unknown result code"))
    return cls(code, meaning, f"{what}: {meaning} (kivgsm code {code})", path)
