# SPDX-License-Identifier: MIT
"""Times when a recording's audio input was gone, seen from its file.

The library keeps a recording going when its input goes away (a sound
server that restarts): it reopens the input for up to a minute and, once
audio arrives again, fills the time it was gone with silence. The file
stops growing meanwhile, and that is what is watched here, as the
command-line tool does.
"""

from __future__ import annotations

import os
import threading
import time
from typing import List, NamedTuple, Optional

# No growth for this long, after audio has arrived, means the input is
# gone: a device delivers every half second, and the library gives a stalled
# one 4 s before it reopens it.
SILENT_SECONDS = 2.5
_POLL_SECONDS = 0.1


class Outage(NamedTuple):
    """A time the audio input was gone during a recording."""

    began: float
    """Seconds into the recording when audio last arrived before it."""
    seconds: Optional[float]
    """How long no audio arrived; silence of this length stands in for it
    in the file. None while the input is still gone, and for an input that
    had not come back when the recording stopped."""


class InputWatch:
    """Polls the size of the file at ``path`` on a daemon thread from
    construction until ``close``. The thread holds only this object, never
    the Recording, so that dropping a Recording still finalises it."""

    def __init__(self, path: str) -> None:
        self._path = path
        self._lock = threading.Lock()
        self._outages: List[Outage] = []
        self._closing = threading.Event()
        self._thread = threading.Thread(target=self._run, name="kivgsm-input-watch", daemon=True)
        self._thread.start()

    @property
    def outages(self) -> List[Outage]:
        with self._lock:
            return list(self._outages)

    def close(self) -> None:
        self._closing.set()
        if self._thread is not threading.current_thread():
            self._thread.join()

    def _size(self) -> int:
        try:
            return os.stat(self._path).st_size
        except OSError:
            return -1

    def _run(self) -> None:
        begin = last_growth = time.monotonic()
        last_size = self._size()
        any_data = gone = False
        while not self._closing.wait(_POLL_SECONDS):
            now = time.monotonic()
            size = self._size()
            if size != last_size:
                if gone:
                    with self._lock:
                        self._outages[-1] = self._outages[-1]._replace(seconds=now - last_growth)
                gone = False
                any_data = True
                last_growth, last_size = now, size
            elif any_data and not gone and now - last_growth >= SILENT_SECONDS:
                gone = True
                with self._lock:
                    self._outages.append(Outage(last_growth - begin, None))
