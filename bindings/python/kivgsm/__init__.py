# SPDX-License-Identifier: MIT
"""kivgsm: GSM 06.10 WAVE files from raw speech, and recording.

A thin layer over the kivgsm shared library (libkivgsm.so.1 on Linux,
kivgsm.dll on Windows), which must be installed beside this package::

    import kivgsm

    kivgsm.convert("speech.raw", "speech.wav")   # raw 8000 Hz mono s16le in

    with kivgsm.record("memo.wav") as r:         # GSM WAVE; pcm=True for PCM
        input("Enter stops the recording")
    print(r.seconds, "seconds")

Paths are str, bytes or os.PathLike and are handed to the library as the
UTF-16 it takes. Every result other than success raises ``kivgsm.Error``
(or one of its kinds) with the library's ``code`` and its meaning.
"""

from __future__ import annotations

import threading
import warnings
from typing import Dict, List, Optional, Type

from . import _native, _samples
from ._input_watch import InputWatch, Outage
from ._errors import (
    MEANINGS,
    OK,
    ArgumentError,
    BusyError,
    CodecError,
    DeviceError,
    Error,
    InputError,
    OutputError,
    TooLongError,
    WriteError,
    error_for,
)
from ._native import LIBRARY_VARIABLE, PathArg

__version__ = "1.0.0.1"

__all__ = [
    "convert",
    "convert_samples",
    "record",
    "Recording",
    "Outage",
    "Error",
    "DeviceError",
    "OutputError",
    "InputError",
    "CodecError",
    "WriteError",
    "BusyError",
    "ArgumentError",
    "TooLongError",
    "MEANINGS",
    "LIBRARY_VARIABLE",
    "__version__",
]

# Where a code of KivWave2GSM610 points: the input for 5, else the output.
_INPUT_CODES = frozenset({5})


def convert(src: PathArg, dst: PathArg) -> None:
    """Converts the raw PCM file ``src`` (8000 Hz, mono, 16-bit
    little-endian) into the GSM 06.10 WAVE file ``dst``.

    The input is read in pieces of 640 bytes (320 samples); a trailing
    piece shorter than that is not encoded. Raises ``InputError`` (a
    FileNotFoundError) when the input cannot be opened or read,
    ``OutputError`` when the output cannot be created, ``ArgumentError``
    when the output is the input or is being written, ``WriteError`` or
    ``TooLongError`` with a finished partial output, and ValueError before
    calling the library for a name it cannot be given (see ``record``).
    Conversions may run side by side in threads: the library is called
    without the GIL.
    """
    src_name, src_units = _native.units(src, "input")
    dst_name, dst_units = _native.units(dst, "output")
    code = _native.library().KivWave2GSM610(src_units, dst_units)
    if code != OK:
        raise error_for(
            code,
            f"cannot convert {src_name!r} to {dst_name!r}",
            src_name if code in _INPUT_CODES else dst_name,
        )


def convert_samples(samples: object, dst: PathArg) -> None:
    """Encodes 16-bit samples held in memory (8000 Hz, mono) into the GSM
    06.10 WAVE file ``dst``: the same file as ``convert`` makes of a raw
    file holding them.

    ``samples`` is any object with the buffer protocol: 16-bit integers
    (``array('h')``, a numpy int16 array) are taken by value, whatever the
    machine's byte order; bytes, bytearray and other byte buffers as the
    little-endian bytes of a raw file. Anything else raises TypeError. A
    trailing piece shorter than 320 samples is not encoded. Errors as for
    ``convert``.
    """
    data = _samples.raw_bytes(samples)
    dst_name, dst_units = _native.units(dst, "output")
    with _samples.as_file(data) as src:
        _, src_units = _native.units(src, "input")
        code = _native.library().KivWave2GSM610(src_units, dst_units)
    if code != OK:
        raise error_for(code, f"cannot convert the samples to {dst_name!r}", "<samples>" if code in _INPUT_CODES else dst_name)


class _Kind:
    def __init__(self, label: str, start: str, stop: str) -> None:
        self.label = label
        self.start = start
        self.stop = stop
        # Serialises this package's Start and Stop of one recorder, so that
        # a Recording never stops one started after it.
        self.lock = threading.Lock()


_KINDS: Dict[bool, _Kind] = {
    False: _Kind("GSM", "KivGSMSoundRecorderStart", "KivGSMSoundRecorderStop"),
    True: _Kind("PCM", "KivGSMWAVSoundRecorderStart", "KivGSMWAVSoundRecorderStop"),
}

# Start codes after which the file holds a provisional header that Stop finishes.
_DEVICE_CODES = frozenset({1, 2, 3})


class Recording:
    """A running recording from the first audio input, made by ``record``.

    Leaving its ``with`` block stops it, finishes the file and sets
    ``seconds``, also when the block raises (KeyboardInterrupt included).
    Without ``with``, call ``stop()``.

    When the audio input goes away mid-recording (a sound server that
    restarts), the library reopens it for up to a minute and fills the time
    it was gone with silence, so that the file keeps the wall clock's time.
    ``outages`` lists those times as they are seen.
    """

    path: str
    pcm: bool
    seconds: Optional[int]
    """The whole seconds recorded, once stopped; None while recording."""

    def __init__(self, path: str, pcm: bool) -> None:
        self.path = path
        self.pcm = pcm
        self.seconds = None
        self._running = False
        self._watch: Optional[InputWatch] = None

    @property
    def running(self) -> bool:
        """True from a successful start until stop."""
        return self._running

    @property
    def outages(self) -> List[Outage]:
        """The times the audio input was gone, oldest first: when audio last
        arrived (seconds into the recording) and for how long none did (None
        while it is still gone). Seen from the file, which stops growing
        meanwhile: an outage shows after 2.5 s without audio."""
        return self._watch.outages if self._watch is not None else []

    def _start(self, units: "object") -> None:
        kind = _KINDS[self.pcm]
        library = _native.library()
        with kind.lock:
            code = getattr(library, kind.start)(units)
            if code == OK:
                self._running = True
                try:
                    self._watch = InputWatch(self.path)
                except RuntimeError:  # no thread to be had: record unwatched
                    self._watch = None
                return
            if code in _DEVICE_CODES:
                # The file holds a provisional header: finish it as an empty
                # recording and leave the recorder idle.
                getattr(library, kind.stop)()
        raise error_for(code, f"cannot record {kind.label} WAVE to {self.path!r}", self.path)

    def stop(self) -> int:
        """Stops the recording, finishes its file and returns the whole
        seconds recorded. Calling it again returns the same number and
        touches no other recording. Raises ``WriteError`` when the file's
        header could not be finished: its audio is in the file, which
        ``kivgsm repair`` finishes."""
        kind = _KINDS[self.pcm]
        with kind.lock:
            if self._running:
                # Marked stopped whatever interrupts the wait (a second
                # Ctrl-C): a later stop() must never end a newer recording.
                try:
                    result = int(getattr(_native.library(), kind.stop)())
                    # A negative result: the header could not be finished.
                    self.seconds = max(result, 0)
                    if result < 0:
                        raise error_for(-result, f"cannot finish {self.path!r} (kivgsm repair finishes it)", self.path)
                finally:
                    self._running = False
                    if self._watch is not None:
                        self._watch.close()
        return self.seconds if self.seconds is not None else 0

    def __del__(self) -> None:
        # Dropped while running, as an unclosed file is: stop it, so that the
        # file is finished and the recorder free, and say so. A collection
        # that runs inside this thread's own start or stop (the lock is
        # held) leaves the recording to them.
        if not getattr(self, "_running", False):
            return
        lock = _KINDS[self.pcm].lock
        if not lock.acquire(blocking=False):
            return
        lock.release()
        try:
            warnings.warn(f"{self!r} was never stopped; stopping it now", ResourceWarning, source=self)
            self.stop()
        except Exception:  # noqa: BLE001 - nothing may escape a finaliser
            pass

    def __enter__(self) -> "Recording":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: object) -> None:
        self.stop()

    def __repr__(self) -> str:
        state = "recording" if self._running else f"stopped, {self.seconds} s"
        return f"<kivgsm.Recording {'PCM' if self.pcm else 'GSM'} {self.path!r} {state}>"


def record(path: PathArg, pcm: bool = False) -> Recording:
    """Starts recording from the first audio input into ``path``: a GSM
    06.10 WAVE file, or with ``pcm=True`` a 16-bit PCM WAVE file (8000 Hz,
    mono). Returns the running ``Recording``; use it in a ``with`` block::

        with kivgsm.record("memo.wav") as r:
            time.sleep(5)
        print(r.seconds)

    The GSM and PCM recorders are independent and may run at once; a second
    recording of the same kind while one runs raises ``BusyError`` (code 8).
    ``DeviceError`` (codes 1-3) leaves the file as a finished empty
    recording; ``OutputError``, ``ArgumentError``, ``CodecError`` and
    ``WriteError`` leave the recorder idle. A name that the library cannot
    be given raises ValueError before it is called: one holding a NUL
    character, or one with no UTF-16 form (a bytes name that the file-system
    encoding cannot decode).
    """
    name, units = _native.units(path, "recording")
    recording = Recording(name, bool(pcm))
    try:
        recording._start(units)
    except BaseException:
        # Interrupted between a successful start and here: do not leave the
        # recorder running with nobody holding it.
        recording.stop()
        raise
    return recording
