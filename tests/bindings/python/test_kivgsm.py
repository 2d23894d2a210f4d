# SPDX-License-Identifier: MIT
"""kivgsm for Python, against the built library."""

from __future__ import annotations

import array
import ctypes
import gc
import os
import re
import signal
import subprocess
import sys
import time
import zipfile
from pathlib import Path
from types import SimpleNamespace

import pytest

import kivgsm
from conftest import (
    ALSA_NO_DEVICE,
    BLOCK_INPUT_BYTES,
    REPO,
    SPEECH,
    finished_wave,
    header_meanings,
    reference_convert,
    use_alsa_config,
)

NON_ASCII = "Grüße 声音 🎤"  # Latin, CJK and a character beyond the BMP (a surrogate pair)


@pytest.mark.parametrize("kind", [str, Path, os.fsencode], ids=["str", "Path", "bytes"])
def test_convert_equals_the_library_at_a_non_ascii_name(tmp_path, speech_file, kind):
    folder = tmp_path / NON_ASCII
    folder.mkdir()
    src, dst = folder / f"{NON_ASCII}.raw", folder / f"{NON_ASCII}.wav"
    src.write_bytes(speech_file.read_bytes())
    reference_convert(speech_file, tmp_path / "reference.wav")

    assert kivgsm.convert(kind(str(src)), kind(str(dst))) is None

    assert sorted(p.name for p in folder.iterdir()) == sorted([src.name, dst.name])
    assert dst.read_bytes() == (tmp_path / "reference.wav").read_bytes()
    assert finished_wave(dst.read_bytes(), pcm=False) == len(SPEECH.read_bytes()) // 640 * 320


def _convert_to(src):
    return lambda dst: kivgsm.convert(src, dst)


@pytest.mark.parametrize(
    "call, name, error, words",
    [
        ("convert", b"out-\xff.wav", ValueError, "no UTF-16 form"),
        ("record", b"rec-\xff.wav", ValueError, "no UTF-16 form"),
        ("convert", "out\0.wav", ValueError, "NUL"),
        ("convert", ctypes.c_wchar_p("out.wav"), TypeError, "c_wchar_p"),
    ],
    ids=["undecodable-bytes", "undecodable-bytes-record", "nul", "c_wchar_p"],
)
def test_names_the_library_cannot_take_are_refused_before_calling_it(
    tmp_path, speech_file, monkeypatch, call, name, error, words
):
    library = kivgsm._native.library()

    def never(*args):
        pytest.fail("the library was called")

    for entry in ("KivWave2GSM610", "KivGSMSoundRecorderStart", "KivGSMSoundRecorderStop"):
        monkeypatch.setattr(library, entry, never)
    monkeypatch.chdir(tmp_path)
    do = _convert_to(speech_file) if call == "convert" else kivgsm.record
    with pytest.raises(error, match=words):
        do(name)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["speech.raw"]


def test_the_entry_points_take_only_utf16_units(tmp_path):
    # What a host's first try passes: UTF-32 on Linux, or 8-bit bytes.
    convert = kivgsm._native.library().KivWave2GSM610
    for wrong in (ctypes.c_wchar_p(str(tmp_path / "in.raw")), str(tmp_path / "in.raw").encode()):
        with pytest.raises(ctypes.ArgumentError):
            convert(wrong, wrong)
    assert list(tmp_path.iterdir()) == []


# --- Every code raises its kind ---------------------------------------------


def _simulated(entry, code):
    """The library answering ``code`` from ``entry``: for the codes that the
    built library cannot be brought to give here (device, codec, length)."""

    def cause(t):
        library = kivgsm._native.library()
        t.stops = []
        t.monkeypatch.setattr(library, entry, lambda *units: code)
        stop = "KivGSMSoundRecorderStop"
        t.monkeypatch.setattr(library, stop, lambda: t.stops.append(stop) or 0)
        if entry == "KivWave2GSM610":
            return (lambda: kivgsm.convert(t.src, t.dst)), str(t.dst)
        return (lambda: kivgsm.record(t.rec)), str(t.rec)

    return cause


def _no_device(t):
    use_alsa_config(t.monkeypatch, t.tmp / "no-device.conf", ALSA_NO_DEVICE)
    return (lambda: kivgsm.record(t.rec)), str(t.rec)


def _busy(t):
    t.first = kivgsm.record(t.tmp / "first.wav")
    return (lambda: kivgsm.record(t.rec)), str(t.rec)


def _after_no_device(t):
    # Stop finished the provisional header: an empty recording, recorder idle.
    assert finished_wave(t.rec.read_bytes(), pcm=False) == 0
    with pytest.raises(kivgsm.DeviceError):
        kivgsm.record(t.rec)


def _after_simulated_device(t):
    assert t.stops == ["KivGSMSoundRecorderStop"]


def _after_busy(t):
    assert t.first.running and not t.rec.exists()
    _grown(t.tmp / "first.wav", 60)  # still recording
    t.first.stop()
    assert finished_wave((t.tmp / "first.wav").read_bytes(), pcm=False) > 0


CODES = [
    # code, class, built-in base, cause (-> call, path the error names), check after
    (1, kivgsm.DeviceError, OSError, _no_device, _after_no_device),
    (2, kivgsm.DeviceError, OSError, _simulated("KivGSMSoundRecorderStart", 2), _after_simulated_device),
    (3, kivgsm.DeviceError, OSError, _simulated("KivGSMSoundRecorderStart", 3), _after_simulated_device),
    (4, kivgsm.OutputError, OSError, lambda t: ((lambda: kivgsm.convert(t.src, t.tmp / "no" / "x.wav")),
                                                str(t.tmp / "no" / "x.wav")), None),
    (5, kivgsm.InputError, FileNotFoundError, lambda t: ((lambda: kivgsm.convert(t.tmp / "none.raw", t.dst)),
                                                         str(t.tmp / "none.raw")), None),
    (6, kivgsm.CodecError, kivgsm.Error, _simulated("KivWave2GSM610", 6), None),
    (7, kivgsm.WriteError, OSError, lambda t: ((lambda: kivgsm.convert(t.src, "/dev/full")), "/dev/full"), None),
    (8, kivgsm.BusyError, RuntimeError, _busy, _after_busy),
    (9, kivgsm.ArgumentError, ValueError, lambda t: ((lambda: kivgsm.convert(t.src, t.src)), str(t.src)), None),
    (10, kivgsm.TooLongError, kivgsm.Error, _simulated("KivWave2GSM610", 10), None),
]


@pytest.mark.parametrize("code, cls, base, cause, after", CODES, ids=[str(row[0]) for row in CODES])
def test_each_code_raises_its_kind(tmp_path, speech_file, alsa_speech, monkeypatch, code, cls, base, cause, after):
    t = SimpleNamespace(tmp=tmp_path, monkeypatch=monkeypatch, src=speech_file,
                        dst=tmp_path / "out.wav", rec=tmp_path / "rec.wav")
    call, path = cause(t)
    with pytest.raises(kivgsm.Error) as raised:
        call()
    e = raised.value
    assert type(e) is cls and isinstance(e, base)
    assert e.code == code
    assert e.meaning == header_meanings()[code]
    assert e.path == path and repr(path) in str(e) and e.meaning in str(e)
    if after:
        after(t)


def test_the_meanings_are_kivgsm_h_in_python_and_csharp():
    header = header_meanings()
    assert sorted(header) == list(range(1, 11))
    assert dict(kivgsm.MEANINGS) == header
    csharp = (REPO / "bindings" / "csharp" / "Kivgsm.cs").read_text(encoding="utf-8")
    assert {int(c): m for c, m in re.findall(r'case (\d+): return "(.*?)";', csharp)} == header


# --- Recording ----------------------------------------------------------------


def _grown(path, size):
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if path.exists() and path.stat().st_size > size:
            return
        time.sleep(0.01)
    pytest.fail(f"{path} did not grow past {size} bytes")


class Boom(Exception):
    pass


def _leave_by_exception():
    raise Boom()


def _leave_by_sigint():
    os.kill(os.getpid(), signal.SIGINT)
    time.sleep(10)  # the handler raises KeyboardInterrupt here


@pytest.mark.parametrize("pcm", [False, True], ids=["gsm", "pcm"])
@pytest.mark.parametrize(
    "leave, raised",
    [(lambda: None, None), (_leave_by_exception, Boom), (_leave_by_sigint, KeyboardInterrupt)],
    ids=["normally", "exception", "sigint"],
)
def test_leaving_the_block_stops_and_finishes_the_file(tmp_path, alsa_speech, monkeypatch, pcm, leave, raised):
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        path = tmp_path / "rec.wav"
        recording = None
        try:
            with kivgsm.record(path, pcm=pcm) as recording:
                assert recording.running and recording.seconds is None
                _grown(path, 44 if pcm else 60)
                leave()
        except BaseException as e:  # noqa: B036 - KeyboardInterrupt is what is tested
            assert raised is not None and isinstance(e, raised), e
        else:
            assert raised is None
    finally:
        signal.signal(signal.SIGINT, previous)

    assert recording is not None and not recording.running
    samples = finished_wave(path.read_bytes(), pcm)
    assert samples > 0
    if pcm:
        assert recording.seconds == samples // 8000
    else:  # 12.5 blocks per half-second delivery, the last padded
        assert recording.seconds == (samples // 320 * 2 // 25) // 2
    assert recording.stop() == recording.seconds
    # The recorder is idle again.
    with kivgsm.record(tmp_path / "again.wav", pcm=pcm):
        pass


@pytest.mark.parametrize("pcm", [False, True], ids=["gsm", "pcm"])
def test_an_interrupted_stop_never_ends_a_newer_recording(tmp_path, alsa_speech, monkeypatch, pcm):
    library = kivgsm._native.library()
    name = "KivGSMWAVSoundRecorderStop" if pcm else "KivGSMSoundRecorderStop"
    real = getattr(library, name)

    def stop_then_interrupt():
        real()
        raise KeyboardInterrupt  # what a second Ctrl-C does once the wait returns

    first = kivgsm.record(tmp_path / "first.wav", pcm=pcm)
    monkeypatch.setattr(library, name, stop_then_interrupt)
    with pytest.raises(KeyboardInterrupt):
        first.stop()
    monkeypatch.setattr(library, name, real)
    assert not first.running
    with kivgsm.record(tmp_path / "second.wav", pcm=pcm) as second:
        _grown(tmp_path / "second.wav", 44 if pcm else 60)
        first.stop()
        assert second.running
    assert finished_wave((tmp_path / "second.wav").read_bytes(), pcm) > 0


@pytest.mark.parametrize("pcm", [False, True], ids=["gsm", "pcm"])
def test_a_dropped_recording_is_stopped_with_a_resource_warning(tmp_path, alsa_speech, pcm):
    recording = kivgsm.record(tmp_path / "dropped.wav", pcm=pcm)
    _grown(tmp_path / "dropped.wav", 44 if pcm else 60)
    with pytest.warns(ResourceWarning, match="never stopped"):
        del recording
        gc.collect()
    assert finished_wave((tmp_path / "dropped.wav").read_bytes(), pcm) > 0
    with kivgsm.record(tmp_path / "next.wav", pcm=pcm):  # the recorder is free
        pass


def test_a_forked_child_that_exits_leaves_the_parents_recordings_alone(tmp_path, alsa_speech):
    """os.fork() while both recorders run, then exit() in the child (the C
    library's exit, which runs kivgsm's unload handling): the child ends at
    once and the parent's files go on and finish whole."""
    with kivgsm.record(tmp_path / "g.wav") as g, kivgsm.record(tmp_path / "p.wav", pcm=True) as p:
        _grown(tmp_path / "g.wav", 60)
        child = os.fork()
        if child == 0:
            ctypes.CDLL(None).exit(0)
        deadline = time.monotonic() + 10
        while (done := os.waitpid(child, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        if done[0] == 0:
            os.kill(child, signal.SIGKILL)
            os.waitpid(child, 0)
        assert done[0] == child, "the child did not exit within 10 s"
        assert os.waitstatus_to_exitcode(done[1]) == 0
        assert time.monotonic() < deadline - 8, "the child took more than 2 s to exit"
        size = (tmp_path / "g.wav").stat().st_size
        _grown(tmp_path / "g.wav", size)  # the parent's recording goes on
    assert finished_wave((tmp_path / "g.wav").read_bytes(), False) // 320 * 2 // 25 // 2 == g.seconds
    assert finished_wave((tmp_path / "p.wav").read_bytes(), True) // 8000 == p.seconds


def test_outages_say_when_the_input_went_away_and_for_how_long(tmp_path, sound_server):
    """The sound server dies 1.5 s into both recordings and starts again
    3.5 s later: each recording goes on and lists one outage, from about
    when the server died until its input was reopened."""
    g, p = tmp_path / "g.wav", tmp_path / "p.wav"
    with kivgsm.record(g) as gsm, kivgsm.record(p, pcm=True) as pcm:
        begin = time.monotonic()
        _grown(g, 60)
        _grown(p, 44)
        assert gsm.outages == [] and pcm.outages == []
        time.sleep(1.5)
        sound_server.kill()
        died = time.monotonic() - begin
        time.sleep(3.5)
        assert [o.seconds for o in pcm.outages] == [None]  # seen, and not over
        sound_server.start()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not all(r.outages and r.outages[-1].seconds for r in (gsm, pcm)):
            time.sleep(0.1)
        wall = time.monotonic() - begin
    for recording in (gsm, pcm):
        [outage] = recording.outages
        assert died - 1.0 <= outage.began <= died + 0.1, (died, outage)
        assert 3.5 <= outage.seconds <= 3.5 + 4.0, outage
    # Silence stood in for the outage: the files keep the wall clock's time.
    assert finished_wave(p.read_bytes(), True) / 8000 >= wall - 1.5
    assert finished_wave(g.read_bytes(), False) / 8000 >= wall - 1.5


@pytest.mark.parametrize(
    "holder",
    [bytes, bytearray, memoryview, lambda b: array.array("h", b), lambda b: array.array("H", b)],
    ids=["bytes", "bytearray", "memoryview", "array-h", "array-H"],
)
def test_samples_in_memory_make_the_file_a_raw_file_makes(tmp_path, speech_file, holder):
    """Arrays built from the bytes of a raw file on this (little-endian)
    machine hold the file's values, so each holder gives the same file."""
    data = speech_file.read_bytes()[: BLOCK_INPUT_BYTES * 30 + 100]
    (tmp_path / "part.raw").write_bytes(data)
    reference_convert(tmp_path / "part.raw", tmp_path / "reference.wav")
    kivgsm.convert_samples(holder(data), tmp_path / "from-memory.wav")
    assert (tmp_path / "from-memory.wav").read_bytes() == (tmp_path / "reference.wav").read_bytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["from-memory.wav", "part.raw", "reference.wav", "speech.raw"]


@pytest.mark.parametrize("samples", [array.array("i", [1, 2]), array.array("f", [0.5]), "text", 3.5])
def test_samples_that_are_not_16_bit_are_refused(tmp_path, samples):
    with pytest.raises(TypeError):
        kivgsm.convert_samples(samples, tmp_path / "out.wav")
    assert not (tmp_path / "out.wav").exists()


# --- The package --------------------------------------------------------------


def test_the_wheel_holds_the_package_at_the_library_version(tmp_path):
    version = re.search(r"project\(kivgsm VERSION ([0-9.]+)", (REPO / "CMakeLists.txt").read_text()).group(1)
    assert kivgsm.__version__ == version
    # Built from a copy: setuptools writes build/ and egg-info beside its input.
    source = tmp_path / "python"
    subprocess.run(["cp", "-r", str(REPO / "bindings" / "python"), str(source)], check=True)
    subprocess.run([sys.executable, "-m", "build", "--wheel", "--no-isolation", "--outdir", str(tmp_path / "dist"),
                    str(source)], check=True, stdout=subprocess.DEVNULL)
    (wheel,) = (tmp_path / "dist").glob("*.whl")
    assert wheel.name == f"kivgsm-{version}-py3-none-any.whl"
    names = set(zipfile.ZipFile(wheel).namelist())
    assert {"kivgsm/__init__.py", "kivgsm/_errors.py", "kivgsm/_native.py", "kivgsm/py.typed"} <= names
    assert not [n for n in names if n.endswith((".so", ".dll", ".pyc"))]
