"""The mivoble tool on the simulated radio: commands, recordings read back by MNE, bad input."""
import csv
import io
import json
import os
import signal
import subprocess
import time
from pathlib import Path

import numpy as np
import pytest

import mcuboot

CLI = os.environ.get("MIVOBLE_CLI", str(Path(__file__).resolve().parents[2] / "build/release/mivoble"))
LEGACY, NUS = "MV-2401.00.01", "MV-2401.00.02"
# A legacy amplifier whose link drops every 1.5 s and that loses every 40th notification on air.
FAULTY_SIM = "MV-2401.00.07,channels=4,drop_every=1500,drop_notify_every=40"
CLEAN_SIM = "MV-2401.00.07,channels=4"


def run(*args, sim=None, timeout=120):
    command = [CLI, "--backend", "sim"] + (["--sim", sim] if sim is not None else []) + [str(a) for a in args]
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout)


def ok(*args, **kwargs):
    result = run(*args, **kwargs)
    assert result.returncode == 0, result.stderr
    return result


def error_lines(stderr):
    return [line for line in stderr.splitlines() if line.startswith("mivoble:")]


def test_scan_lists_the_default_amplifiers():
    plain = ok("scan", "--seconds", "1")
    assert sorted(plain.stdout.split()) == [LEGACY, NUS]
    assert sorted(json.loads(ok("scan", "--seconds", "1", "--json").stdout)) == [LEGACY, NUS]


@pytest.mark.parametrize("name, generation, rate, width, channels", [
    (LEGACY, "legacy", 250, 11, [(i, 1, i - 1, 0.02235174) for i in range(1, 9)] + [(9, 5, 8, 1.0)]),
    (NUS, "nus", 256, 3, [(1, 1, 1, 1.0)]),
])
def test_info_shows_the_table_of_each_generation(name, generation, rate, width, channels):
    info = json.loads(ok("info", name, "--json").stdout)
    assert (info["serial"], info["generation"], info["samplingRate"], info["rowWidth"]) == (name, generation, rate, width)
    assert info["battery"] == 87
    table = [(c["id"], c["type"], c["index"], c["scale"]) for c in info["channels"]]
    assert [t[:3] for t in table] == [c[:3] for c in channels]
    assert np.allclose([t[3] for t in table], [c[3] for c in channels], rtol=1e-6)


def read_rows(text, delimiter=","):
    rows = list(csv.reader(io.StringIO(text), delimiter=delimiter))
    return rows[0], np.array(rows[1:], dtype=float)


def test_stream_gives_rows_with_consecutive_counters(tmp_path):
    output = tmp_path / "rows.tsv"
    ok("stream", LEGACY, "--seconds", "2", "--format", "tsv", "--output", output)
    assert os.listdir(tmp_path) == [output.name]
    header, rows = read_rows(output.read_text(), "\t")
    assert header == ["time"] + [f"ch{i}" for i in range(1, 9)] + ["counter", "battery", "valid"]
    assert 450 <= len(rows) <= 520
    assert np.all(np.diff(rows[:, header.index("counter")]) == 1)
    assert np.all(np.diff(rows[:, 0]) >= 0) and rows[-1, 0] < 2.5
    assert np.all(rows[:, -1] == 1)


def test_frame_answers_status_and_payload():
    assert ok("frame", NUS, "0x10", "01 02").stdout.split() == ["status", "0", "payload", "2A"]


def test_firmware_upload_test_reset_runs_the_new_image(tmp_path):
    image, digest = mcuboot.build_image(version=(2, 1, 0, 0))
    path = tmp_path / "app.bin"
    path.write_bytes(image)
    result = ok("fw", "upload", LEGACY, path, "--test", "--reset")
    assert "uploaded 2" in result.stderr and "KB/s" in result.stderr  # plain progress lines off a terminal
    slots = {line.split()[0]: line.split() for line in result.stdout.splitlines() if line[:1].isdigit()}
    assert slots["0"][1] == "2.1.0" and "active" in slots["0"] and slots["0"][-1] == digest.hex().upper()
    assert slots["1"][1] == "1.0.0"
    assert ok("fw", "echo", LEGACY, "hello there").stdout == "hello there\n"


def edf_header(path):
    """Physical and digital ranges per signal, read from the file's own header."""
    raw = Path(path).read_bytes()
    count = int(raw[252:256])
    fields = {}
    offset = 256
    for name, width in [("label", 16), ("transducer", 80), ("dimension", 8), ("pmin", 8), ("pmax", 8),
                        ("dmin", 8), ("dmax", 8), ("prefilter", 80), ("samples", 8), ("reserved", 32)]:
        fields[name] = [raw[offset + i * width: offset + (i + 1) * width].decode().strip() for i in range(count)]
        offset += count * width
    return {fields["label"][i]: {k: fields[k][i] for k in fields} for i in range(count)}


def quantisation_step(header, label):
    h = header[label]
    return (float(h["pmax"]) - float(h["pmin"])) / (int(h["dmax"]) - int(h["dmin"]))


@pytest.fixture(scope="module")
def streamed_by_counter():
    """What the amplifier streams, keyed by the sample counter (the same model produces the recording)."""
    header, rows = read_rows(ok("stream", "MV-2401.00.07", "--seconds", "3", sim=CLEAN_SIM).stdout)
    counter = header.index("counter")
    return {int(row[counter]): row[1:counter + 1] for row in rows}


@pytest.mark.parametrize("suffix", ["bdf", "edf"])
def test_recording_is_read_back_by_mne(tmp_path, suffix, streamed_by_counter):
    import mne
    path = tmp_path / f"session.{suffix}"
    seconds, rate = 4, 250
    result = ok("record", "MV-2401.00.07", path, "--seconds", seconds, sim=FAULTY_SIM)
    assert "link loss" in result.stdout
    assert sorted(os.listdir(tmp_path)) == [path.name]
    reader = mne.io.read_raw_bdf if suffix == "bdf" else mne.io.read_raw_edf
    raw = reader(path, preload=True, verbose="error")
    assert raw.ch_names == ["ch1", "ch2", "ch3", "ch4", "counter"]
    assert raw.info["sfreq"] == rate
    assert abs(raw.n_times - seconds * rate) <= 1

    notes = [(round(a["onset"] * rate), round(a["duration"] * rate), a["description"]) for a in raw.annotations]
    lost = [n for n in notes if n[2] == "link lost"]
    back = [n for n in notes if n[2].startswith("link back")]
    filled = [n for n in notes if n[2].endswith("samples filled in")]
    assert len(lost) >= 2 and len(back) == len(lost) and filled
    # The counter runs on except where the link was lost (it restarts at 1 after a reconnect).
    counter = np.round(raw.get_data(picks=["counter"])[0]).astype(int)
    jumps = set((np.nonzero(np.diff(counter) != 1)[0] + 1).tolist())
    assert jumps and jumps <= {onset for onset, _, _ in lost}
    # Filled-in runs hold the last decoded row; the other samples are the streamed values.
    fill = np.zeros(raw.n_times, dtype=bool)
    for onset, duration, _ in filled:
        fill[onset:onset + duration] = True
    header = edf_header(path)
    values = raw.get_data(picks=["ch1", "ch2", "ch3", "ch4"], units="uV")
    compared = 0
    for i in np.nonzero(~fill)[0]:
        expected = streamed_by_counter.get(int(counter[i]))
        if expected is None:
            continue
        for c, label in enumerate(["ch1", "ch2", "ch3", "ch4"]):
            assert abs(values[c, i] - expected[c]) <= quantisation_step(header, label), (i, label)
        compared += 1
    assert compared > seconds * rate * 0.8
    assert header["ch1"]["dimension"] == "uV"


def test_interrupted_recording_is_closed_valid(tmp_path):
    import mne
    path = tmp_path / "interrupted.bdf"
    process = subprocess.Popen([CLI, "--backend", "sim", "record", LEGACY, str(path)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    partial = Path(str(path) + ".partial")
    deadline = time.monotonic() + 30
    # EDFlib writes the header with the first data record: wait for a few records to be on disk.
    while time.monotonic() < deadline and (not partial.exists() or partial.stat().st_size < 20000):
        time.sleep(0.05)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=30)
    assert process.returncode == 0, err
    assert sorted(os.listdir(tmp_path)) == [path.name]
    raw = mne.io.read_raw_bdf(path, preload=True, verbose="error")
    assert raw.n_times >= 25 and raw.n_times % 25 == 0  # whole records of 0.1 s
    assert np.all(np.diff(raw.get_data(picks=["counter"])[0]) == 1)


def test_monitor_once_prints_one_snapshot():
    lines = ok("monitor", LEGACY, "--once").stdout.splitlines()
    rate = float(lines[0].split()[1])
    assert 200 <= rate <= 300 and "link up" in lines[0]
    assert [line.split()[0] for line in lines[2:]] == [f"ch{i}" for i in range(1, 9)] + ["counter"]


NOT_AN_IMAGE = b"#!/bin/sh\necho this is not firmware\n" * 4


@pytest.mark.parametrize("args, status, message", [
    (["info", "MV-2401.09.99"], 1, "no amplifier of that name"),
    (["calibrate", LEGACY], 2, "calibrate"),
    (["record", LEGACY, "{tmp}/missing/dir/a.bdf", "--seconds", "1"], 1, "cannot write"),
    (["record", LEGACY, "{tmp}/a.wav", "--seconds", "1"], 2, ".bdf"),
    (["record", LEGACY, "{tmp}/a.bdf", "--seconds", "0"], 2, "above 0"),
    (["record", LEGACY, "{tmp}/a.bdf", "--seconds", "-2"], 2, "above 0"),
    (["stream", LEGACY, "--seconds", "0"], 2, "above 0"),
    (["stream", LEGACY, "--output", "{tmp}/missing/rows.csv", "--seconds", "1"], 1, "cannot write"),
    (["fw", "upload", LEGACY, "{tmp}/not-an-image.bin"], 1, "not an MCUboot image"),
    (["fw", "test", LEGACY, "abcd"], 2, "32"),
    (["frame", NUS, "0x10", "123"], 2, "odd number of hex digits"),
    (["frame", NUS, "0x100"], 2, "not a byte"),
    (["frame", LEGACY, "0x10"], 1, "Could not find characteristic"),
])
def test_bad_input_gets_one_clear_error_and_no_file(tmp_path, args, status, message):
    (tmp_path / "not-an-image.bin").write_bytes(NOT_AN_IMAGE)
    result = run(*[a.format(tmp=tmp_path) for a in args])
    assert result.returncode == status, result.stderr
    errors = error_lines(result.stderr)
    assert len(errors) == 1 and message in errors[0], result.stderr
    assert sorted(os.listdir(tmp_path)) == ["not-an-image.bin"]
