# SPDX-License-Identifier: MIT
"""The kivgsm package from the source tree, over the library named by
KIVGSM_LIBRARY (the built tree's, as tests/CMakeLists.txt passes it)."""

from __future__ import annotations

import ctypes
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path
from typing import Dict

import pytest

REPO = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(REPO / "bindings" / "python"))

import kivgsm  # noqa: E402

if not os.environ.get("KIVGSM_LIBRARY"):
    pytest.exit("KIVGSM_LIBRARY must name the built library (tests/bindings/python/run.sh sets it)", 2)
assert Path(kivgsm.__file__).resolve().is_relative_to(REPO / "bindings" / "python"), kivgsm.__file__

SPEECH = REPO / "data" / "speech_8k.raw"
# A raw input's whole blocks: what the converter encodes.
BLOCK_INPUT_BYTES = 640


def header_meanings() -> Dict[int, str]:
    """KIV_ERR_* codes and their comments, from the public header."""
    text = (REPO / "include" / "kivgsm.h").read_text(encoding="utf-8")
    found = re.findall(r"#define KIV_ERR_\w+\s+(\d+)\s+/\* (.*?) \*/", text)
    return {int(code): meaning for code, meaning in found}


def reference_convert(src: Path, dst: Path) -> None:
    """KivWave2GSM610 called directly, paths in the UTF-16 it takes (ASCII
    names here, so that nothing of the package's is involved)."""
    library = ctypes.CDLL(os.environ["KIVGSM_LIBRARY"])
    library.KivWave2GSM610.restype = ctypes.c_int32
    utf16 = "utf-16-le" if sys.byteorder == "little" else "utf-16-be"
    code = library.KivWave2GSM610(str(src).encode(utf16) + b"\0\0", str(dst).encode(utf16) + b"\0\0")
    assert code == 999


def finished_wave(data: bytes, pcm: bool) -> int:
    """Asserts that ``data`` is a finished file of the kind the library
    writes, its sizes describing its length; returns the samples it holds."""
    assert data[0:4] == b"RIFF" and data[8:12] == b"WAVE" and data[12:16] == b"fmt "
    assert struct.unpack_from("<I", data, 4)[0] == len(data) - 8
    if pcm:
        fmt = struct.unpack_from("<IHHIIHH", data, 16)
        assert fmt == (16, 1, 1, 8000, 16000, 2, 16)
        assert data[36:40] == b"data" and struct.unpack_from("<I", data, 40)[0] == len(data) - 44
        return (len(data) - 44) // 2
    fmt = struct.unpack_from("<IHHIIHHHH", data, 16)
    assert fmt == (20, 0x31, 1, 8000, 1625, 65, 0, 2, 320)
    assert data[40:48] == b"fact\x04\x00\x00\x00" and data[52:56] == b"data"
    blocks, rest = divmod(len(data) - 60, 65)
    assert rest == 0 and struct.unpack_from("<I", data, 56)[0] == blocks * 65
    assert struct.unpack_from("<I", data, 48)[0] == blocks * 320
    return blocks * 320


@pytest.fixture
def speech_file(tmp_path: Path) -> Path:
    path = tmp_path / "speech.raw"
    path.write_bytes(SPEECH.read_bytes())
    return path


def use_alsa_config(monkeypatch: pytest.MonkeyPatch, config: Path, text: str) -> None:
    """Makes ``text``, written to ``config``, the whole ALSA configuration,
    reaching no sound server."""
    config.write_text(text)
    monkeypatch.setenv("ALSA_CONFIG_PATH", str(config))
    monkeypatch.delenv("PULSE_SERVER", raising=False)
    monkeypatch.delenv("XDG_RUNTIME_DIR", raising=False)


ALSA_NO_DEVICE = "pcm.!default {\n type hw\n card 57\n device 0\n}\n"


@pytest.fixture
def alsa_speech(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """ALSA's default capture device plays known speech (the `file` plugin
    over a `null` slave, as fast as it is read), as the C tests do."""
    known = tmp_path / "known.raw"
    known.write_bytes(SPEECH.read_bytes() * 16)
    use_alsa_config(
        monkeypatch,
        tmp_path / "asound.conf",
        'pcm.!default {\n type file\n slave.pcm { type null }\n file "/dev/null"\n'
        f' infile "{known}"\n format "raw"\n}}\n',
    )
    return known


class SoundServer:
    """A private PulseAudio daemon (the C tests' script) that this process's
    ALSA default device reaches, with no audio played into it: its default
    source delivers silence in real time."""

    SCRIPT = REPO / "tests" / "platform" / "pulse" / "pulse_server.sh"

    def __init__(self, directory: Path, monkeypatch: pytest.MonkeyPatch) -> None:
        self.directory = directory
        self._run("start")
        lines = subprocess.run(
            ["bash", str(self.SCRIPT), "env", str(directory)], check=True, capture_output=True, text=True
        ).stdout
        for line in lines.splitlines():
            name, _, value = line.partition("=")
            monkeypatch.setenv(name, value)

    def _run(self, command: str) -> None:
        subprocess.run(["bash", str(self.SCRIPT), command, str(self.directory)], check=True, capture_output=True)

    def kill(self) -> None:
        """SIGKILL, as a crash of the sound server, and waits for its end."""
        pid = int((self.directory / "daemon.pid").read_text())
        os.kill(pid, signal.SIGKILL)
        deadline = time.monotonic() + 5
        while Path(f"/proc/{pid}").exists() and Path(f"/proc/{pid}/stat").read_text().split()[2] != "Z":
            assert time.monotonic() < deadline, "the sound server did not die"
            time.sleep(0.01)

    def start(self) -> None:
        self._run("start")

    def stop(self) -> None:
        subprocess.run(["bash", str(self.SCRIPT), "stop", str(self.directory)], capture_output=True)


@pytest.fixture
def sound_server(tmp_path: Path, monkeypatch: pytest.MonkeyPatch):
    if shutil.which("pulseaudio") is None:
        pytest.skip("pulseaudio is not installed (scripts/install-packages.sh --test installs it)")
    server = SoundServer(tmp_path / "pulse", monkeypatch)
    yield server
    server.stop()
