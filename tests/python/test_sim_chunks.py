"""Chunks, the pull buffer, timestamps, firmware, MNE and plots, through the real library."""

import hashlib
import math
import os
import struct
import subprocess
import sys
import time

import numpy
import pytest

from forked import isolated, load_wrapper
from helpers import REAL_LIBRARY, REPO, Collector

pytestmark = pytest.mark.skipif(REAL_LIBRARY is None, reason="libmivoble not built")

LEGACY = "MV-2401.00.01"
COUNTER, VALID = 8, 10
SIM_ENV = dict(MIVOBLE_LIBRARY=REAL_LIBRARY, MIVOBLE_BACKEND="sim")


def _assert_one_period_apart(timestamps, rate, tolerance=0.02):
    """Never back and never wider; closer only in the few chunks drawn back to their arrival
    (where the line dropped faster than the slew), since no row is stamped after it arrived."""
    spacing = numpy.diff(timestamps) * rate
    close = numpy.count_nonzero(spacing <= 1 - tolerance)
    assert spacing.min() > 0 and spacing.max() < 1 + tolerance and close <= 0.05 * len(spacing), (
        spacing.min(), spacing.max(), close)


@isolated(**SIM_ENV, MIVOBLE_SIM=f"{LEGACY},rate=1000,frames=5")
def test_chunks_are_row_blocks_with_continuous_counters_and_timestamps():
    w = load_wrapper()
    amp = w.MivoBLEWrapper(LEGACY)
    amp.frames_per_callback = 8
    assert amp.frames_per_callback == 8
    chunks = Collector()
    amp.set_chunk_callback(lambda data, timestamps: chunks((data, timestamps)))
    received = chunks.wait_until(lambda items: sum(len(d) for d, _ in items) >= 1000, what="1000 rows")
    amp.close()

    for data, timestamps in received:
        assert data.dtype == numpy.float32 and data.ndim == 2 and data.shape[1] == 11
        assert timestamps.dtype == numpy.float64 and timestamps.shape == (len(data),)
    rows = numpy.concatenate([d for d, _ in received])
    times = numpy.concatenate([t for _, t in received])
    assert numpy.all(numpy.diff(rows[:, COUNTER]) == 1) and numpy.all(rows[:, VALID] == 1)
    assert {len(d) for d, _ in received} == {8}
    _assert_one_period_apart(times, 1000)
    assert abs(times[-1] - time.monotonic()) < 1.0


@isolated(**SIM_ENV, MIVOBLE_SIM=f"{LEGACY},rate=1000,frames=4")
def test_buffer_overwrites_the_oldest_rows_and_counts_them():
    w = load_wrapper()
    amp = w.MivoBLEWrapper(LEGACY)
    amp.start_buffer(seconds=0.2)  # 200 rows
    deadline = time.monotonic() + 15
    while amp.overruns < 300 and time.monotonic() < deadline:
        time.sleep(0.05)
    timestamps, data = amp.read()
    overruns, available = amp.overruns, amp.available()
    amp.close()

    assert overruns >= 300
    assert len(data) == 200 and available < 200
    assert numpy.all(numpy.diff(data[:, COUNTER]) == 1)  # the newest rows, in order
    assert numpy.all(numpy.diff(timestamps) > 0)


@isolated(**SIM_ENV, MIVOBLE_SIM=f"{LEGACY},rate=500,frames=2,drop_once=1500")
def test_pull_timestamps_stay_one_period_apart_and_restart_after_a_link_drop():
    w = load_wrapper()
    amp = w.MivoBLEWrapper(LEGACY)
    states = Collector()
    amp.set_connection_state_callback(states)
    amp.start_buffer(seconds=30)
    states.wait_until(lambda items: items[-2:] == [1, 0], what="LOST then CONNECTED")
    chunks = []
    for timestamps, data in amp.chunks(timeout=5):
        chunks.append((timestamps, data))
        if sum(len(d) for _, d in chunks) >= 1500:
            break
    amp.close()
    while amp.available():  # rows that arrived after the last chunk stay readable after close
        amp.read()
    with pytest.raises(ValueError, match="closed"):
        amp.read()

    times = numpy.concatenate([t for t, _ in chunks])
    counters = numpy.concatenate([d[:, COUNTER] for _, d in chunks])
    restart = numpy.flatnonzero(numpy.diff(counters) != 1)
    assert len(restart) == 1, "one counter restart at the reconnect"
    cut = restart[0] + 1
    _assert_one_period_apart(times[:cut], 500)
    _assert_one_period_apart(times[cut + 250 :], 500)  # the new line settles within half a second
    assert times[cut] > times[cut - 1]


def _image(version=(2, 1, 0, 0), body=b"\x5a" * 4000):
    header = struct.pack("<IIHHII", 0x96F3B83D, 0, 32, 0, len(body), 0x10) + struct.pack(
        "<BBHI", *version) + b"\0" * 4
    digest = hashlib.sha256(header + body).digest()
    return header + body + struct.pack("<HH", 0x6907, 40) + struct.pack("<HH", 0x10, 32) + digest, digest


@isolated(**SIM_ENV, MIVOBLE_SIM=f"{LEGACY},reset_ms=20,boot_ms=20", timeout=120)
def test_firmware_cycle_upload_test_reset_confirm():
    w = load_wrapper()
    amp = w.MivoBLEWrapper(LEGACY)
    image, digest = _image()
    progress = []
    amp.upload_image(image, progress=lambda offset, total: progress.append((offset, total)))
    assert progress[-1] == (len(image), len(image)) and progress == sorted(progress)
    slots = {s.slot: s for s in amp.list_images()}
    assert slots[1].hash == digest and slots[1].version == "2.1.0" and not slots[1].active
    amp.test_image(digest)
    states = Collector()
    amp.set_connection_state_callback(states)
    amp.reset()
    states.wait_until(lambda items: items[-2:] == [1, 0], what="reconnect after reset")
    running = [s for s in amp.list_images() if s.active]
    assert running[0].hash == digest and not running[0].confirmed
    amp.confirm_image()
    assert [s for s in amp.list_images() if s.active][0].confirmed
    assert amp.echo("hello") == "hello"
    amp.close()


@isolated(**SIM_ENV, MIVOBLE_SIM=LEGACY)
def test_bad_arguments_raise_before_the_library_is_called():
    w = load_wrapper()
    amp = w.MivoBLEWrapper(LEGACY)
    with pytest.raises(ValueError, match="start_buffer"):
        amp.read()
    cases = [
        (lambda: amp.start_buffer(0), ValueError),
        (lambda: amp.start_buffer(-1), ValueError),
        (lambda: amp.start_buffer(math.inf), ValueError),
        (lambda: amp.start_buffer("5"), TypeError),
        (lambda: setattr(amp, "frames_per_callback", 0), ValueError),
        (lambda: setattr(amp, "frames_per_callback", 65), ValueError),
        (lambda: setattr(amp, "frames_per_callback", 2.5), TypeError),
        (lambda: amp.set_chunk_callback(42), TypeError),
        (lambda: amp.upload_image(b""), ValueError),
        (lambda: amp.upload_image("image"), TypeError),
        (lambda: amp.test_image(b"\x01" * 31), ValueError),
        (lambda: amp.test_image("00" * 32), TypeError),
        (lambda: amp.echo(b"x"), TypeError),
    ]
    for call, error in cases:
        with pytest.raises(error):
            call()
    with pytest.raises(ValueError, match="^Upload failed at offset 0/64"):  # the library's own text
        amp.upload_image(b"\0" * 64)

    # A raising chunk callback is logged and the stream goes on.
    calls = Collector()

    def failing(data, timestamps):
        calls(len(data))
        raise RuntimeError("boom")

    amp.set_chunk_callback(failing)
    calls.wait_until(lambda items: len(items) >= 5, what="five chunks despite the exceptions")
    amp.close()
    w.MivoBLEWrapper.shutdown()
    from mivo_ble.exceptions import RuntimeShutDown

    with pytest.raises((RuntimeShutDown, ValueError)):
        amp.start_buffer(1)


@isolated(**SIM_ENV, MIVOBLE_SIM=f"{LEGACY},drop_notify_every=50")
def test_to_mne_gives_named_typed_channels_and_bad_annotations():
    pytest.importorskip("mne", reason="MNE-Python is not installed")
    import mivo_ble

    w = load_wrapper()
    amp = w.MivoBLEWrapper(LEGACY)
    amp.start_buffer(10)
    rows, times = [], []
    for timestamps, data in amp.chunks(timeout=5):
        rows.append(data)
        times.append(timestamps)
        if sum(len(d) for d in rows) >= 500:
            break
    amp.close()
    data = numpy.concatenate(rows)
    raw = mivo_ble.to_mne(amp, data, numpy.concatenate(times))

    assert raw.ch_names == [f"EEG {n}" for n in range(1, 9)] + ["Counter", "Battery", "Valid"]
    assert raw.get_channel_types() == ["eeg"] * 8 + ["misc", "misc", "misc"]
    assert raw.info["sfreq"] == 250 and raw.n_times == len(data)
    filled = numpy.flatnonzero(data[:, VALID] == 0)
    assert len(filled) and len(raw.annotations) == len(filled)  # each lost notification is one row here
    assert set(raw.annotations.description) == {"BAD_filled"}
    assert numpy.allclose(sorted(raw.annotations.onset), filled / 250.0)
    assert numpy.allclose(raw.get_data(picks="EEG 1")[0], data[:, 0] * 1e-6)


def test_plot_command_writes_a_picture(tmp_path):
    pytest.importorskip("matplotlib", reason="matplotlib is not installed")
    output = tmp_path / "eeg.png"
    # The suite's own environment too: sanitizer builds need their runtime preloaded.
    env = dict(os.environ, **SIM_ENV, MIVOBLE_SIM=LEGACY, PYTHONPATH=str(REPO / "src" / "python"),
               HOME=str(tmp_path), XDG_DATA_HOME=str(tmp_path))
    result = subprocess.run([sys.executable, "-m", "mivo_ble", "plot", LEGACY, "--seconds", "1", "-o", str(output)],
                            capture_output=True, text=True, env=env, timeout=120)
    assert result.returncode == 0, result.stderr
    png = output.read_bytes()
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = struct.unpack(">II", png[16:24])
    assert (width, height) == (1200, 690)  # 12 in wide at 100 dpi, 9 traces high
