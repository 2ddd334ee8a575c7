"""The mivoble tool on the simulated radio: commands, recordings read back by MNE, bad input."""
import csv
import io
import json
import re
import os
import resource
import signal
import subprocess
import threading
import time
from datetime import datetime, timedelta
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
    # Each row has its own sampling time, 1/250 s after the one before, not its batch's arrival.
    # A batch that would end after it arrived is drawn back onto its arrival, so a few steps
    # may be shorter; none goes backwards.
    steps = np.diff(rows[:, 0])
    regular = np.isclose(steps, 1 / 250, rtol=0.02)
    assert np.all(steps > 0) and regular.mean() >= 0.95, (steps.min(), steps.max(), regular.mean())
    assert rows[-1, 0] < 2.5
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
    return {int(row[counter]): row[1:counter] for row in rows}


def read_raw(path):
    import mne
    reader = mne.io.read_raw_bdf if str(path).endswith(".bdf") else mne.io.read_raw_edf
    return reader(path, preload=True, infer_types=True, verbose="error")


def marks(raw, rate, prefix):
    """(first sample, samples, text) of the annotations whose text starts with prefix."""
    return [(round(a["onset"] * rate), round(a["duration"] * rate), a["description"])
            for a in raw.annotations if a["description"].startswith(prefix)]


def runs(mask):
    """(first index, length) of each run of True."""
    edges = np.diff(np.concatenate([[0], mask.astype(int), [0]]))
    starts, ends = np.nonzero(edges == 1)[0], np.nonzero(edges == -1)[0]
    return list(zip(starts.tolist(), (ends - starts).tolist()))


@pytest.mark.parametrize("suffix, max_error", [("bdf", 0.001), ("edf", 0.1)])
def test_recording_is_read_back_by_mne(tmp_path, suffix, max_error, streamed_by_counter):
    path = tmp_path / f"session.{suffix}"
    seconds, rate = 4, 250
    result = ok("record", "MV-2401.00.07", path, "--seconds", seconds, sim=FAULTY_SIM)
    assert "link loss" in result.stdout
    assert sorted(os.listdir(tmp_path)) == [path.name]
    raw = read_raw(path)
    assert raw.ch_names == ["ch1", "ch2", "ch3", "ch4", "counter", "valid"]
    assert raw.info["sfreq"] == rate and raw.n_times == seconds * rate
    header = edf_header(path)
    for label in ["EEG ch1", "EEG ch2", "EEG ch3", "EEG ch4"]:
        h = header[label]
        assert h["dimension"] == "uV" and "input" in h["transducer"] and h["prefilter"]
        assert float(h["pmin"]) == -float(h["pmax"]) and int(h["dmin"]) == -int(h["dmax"])

    outages = marks(raw, rate, "BAD_link_lost")
    assert len(outages) >= 2 and marks(raw, rate, "BAD_filled_in")
    # The counter runs on everywhere but after an outage (the amplifier counts from 1 again).
    counter = np.round(raw.get_data(picks=["counter"])[0]).astype(int)
    jumps = set((np.nonzero(np.diff(counter) != 1)[0] + 1).tolist())
    assert jumps and jumps <= {onset + duration for onset, duration, _ in outages}
    assert all(counter[onset + duration] == 1 for onset, duration, _ in outages)
    # Delivered samples are the streamed values, within the resolution of the format.
    valid = raw.get_data(picks=["valid"])[0] == 1
    values = raw.get_data(picks=["ch1", "ch2", "ch3", "ch4"], units="uV")
    compared = [i for i in np.nonzero(valid)[0] if int(counter[i]) in streamed_by_counter]
    errors = np.array([values[:, i] - streamed_by_counter[int(counter[i])] for i in compared])
    assert len(compared) > seconds * rate * 0.7 and np.abs(errors).max() < max_error


class Running:
    """The tool in the background, its stderr collected as it comes."""

    def __init__(self, *args, sim=None, preexec_fn=None):
        command = [CLI, "--backend", "sim"] + (["--sim", sim] if sim is not None else []) + [str(a) for a in args]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        preexec_fn=preexec_fn)
        self.stderr = ""
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for chunk in iter(lambda: os.read(self.process.stderr.fileno(), 4096), b""):
            with self.changed:
                self.stderr += chunk.decode(errors="replace")
                self.changed.notify_all()

    def wait_for(self, text, timeout=30):
        with self.changed:
            assert self.changed.wait_for(lambda: text in self.stderr, timeout), self.stderr

    def finish(self, timeout=60):
        self.process.wait(timeout)
        self.reader.join(timeout)
        return self.process.returncode, self.process.stdout.read().decode()


def wait_for_size(path, size, timeout=30):
    """Until the file has grown to size (EDFlib writes through a buffer: no event tells)."""
    deadline = time.monotonic() + timeout
    while not (path.exists() and path.stat().st_size >= size):
        assert time.monotonic() < deadline, f"{path} did not grow to {size} bytes"
        time.sleep(0.02)


def file_size_limit(limit):
    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


# Unsubscribing from the samples takes 1.5 s: a second signal lands while the tool still waits.
SLOW_STOP = "MV-2401.00.07,delay=SubscribeCccd:B5211406-449F-4BA0-A651-B887924B81E8:1500"


@pytest.mark.parametrize("ending, status, kept_as", [
    ("SIGINT", {0}, "session.bdf"),
    ("SIGINT twice", {130}, "session.bdf"),
    ("SIGTERM twice at once", {0, 143}, "session.bdf"),  # two signals sent together may arrive as one
    ("SIGHUP", {0}, "session.bdf"),
    ("file size limit", {1}, "session.bdf"),
    ("name taken meanwhile", {1}, "session.bdf.partial"),
])
def test_every_ending_keeps_every_record(tmp_path, ending, status, kept_as):
    path = tmp_path / "session.bdf"
    limited = ending == "file size limit"
    tool = Running("record", "MV-2401.00.07", path, *(["--seconds", 20] if limited else []),
                   sim="MV-2401.00.07,rate=2000,frames=4" if limited else SLOW_STOP,
                   preexec_fn=file_size_limit(200 * 1024) if limited else None)
    tool.wait_for("recording")
    wait_for_size(Path(str(path) + ".partial"), 20000)
    if ending == "name taken meanwhile":
        path.mkdir()
    if ending.startswith("SIGINT") or ending == "name taken meanwhile":
        tool.process.send_signal(signal.SIGINT)
    if ending == "SIGINT twice":
        tool.wait_for("stopping")
        tool.process.send_signal(signal.SIGINT)
    if ending.startswith("SIGTERM"):
        tool.process.send_signal(signal.SIGTERM)
        tool.process.send_signal(signal.SIGTERM)
    if ending == "SIGHUP":
        tool.process.send_signal(signal.SIGHUP)
    returncode, stdout = tool.finish()
    assert returncode in status, tool.stderr
    kept = tmp_path / kept_as
    assert kept.is_file() and "recorded" in stdout, tool.stderr
    if returncode == 1:
        assert str(kept) in tool.stderr  # the message names the file that holds the recording
    # Every record is whole and counted in the header, and holds every row from the first on.
    header = edf_header(kept)
    record_bytes = sum(int(h["samples"]) * 3 for h in header.values())
    records = int(Path(kept).read_bytes()[236:244])
    assert kept.stat().st_size == 256 * (len(header) + 1) + records * record_bytes
    if kept.suffix != ".bdf":
        kept = kept.rename(tmp_path / "kept.bdf")
    raw = read_raw(kept)
    counter = raw.get_data(picks=["counter"])[0]
    assert raw.n_times == records * int(header["MISC counter"]["samples"]) >= 100
    assert np.array_equal(counter, np.arange(1, raw.n_times + 1))
    assert np.all(raw.get_data(picks=["valid"])[0][:-int(header["MISC counter"]["samples"])] == 1)


def test_monitor_once_prints_one_snapshot():
    lines = ok("monitor", LEGACY, "--once").stdout.splitlines()
    rate = float(lines[0].split()[1])
    assert 245 <= rate <= 255 and "link up" in lines[0]
    assert [line.split()[0] for line in lines[2:]] == [f"ch{i}" for i in range(1, 9)] + ["counter"]


def test_every_filled_in_run_is_annotated(tmp_path):
    path = tmp_path / "lossy.bdf"
    result = ok("record", "MV-2401.00.07", path, "--seconds", 2, sim="MV-2401.00.07,drop_notify_every=3")
    raw = read_raw(path)
    filled = raw.get_data(picks=["valid"])[0] == 0
    notes = marks(raw, 250, "BAD_filled_in")
    assert len(notes) > 100 and [(onset, duration) for onset, duration, _ in notes] == runs(filled)
    assert all(text == f"BAD_filled_in: {duration} samples" for _, duration, text in notes)
    assert f"{filled.sum()} filled-in sample(s)" in result.stdout and f"{len(notes)} annotation(s)" in result.stdout


LOG_LINE = re.compile(r"^\[(\S+ \S+)\] .*'MV-2401.00.07':? (link lost \(unsolicited=1\)|reconnected after"
                      r"|drops the link|starts streaming)(?:.* \((-?\d+) us late\))?")


def log_times(path):
    """Times of the link events in the log: the library's losses and reconnects as it logged them,
    and the simulated amplifier's drops and stream starts when they happened on its time line
    (its thread may run late under load; it logs by how much)."""
    times = {"link lost (unsolicited=1)": [], "reconnected after": [], "drops the link": [], "starts streaming": []}
    for line in Path(path).read_text().splitlines():
        if match := LOG_LINE.match(line):
            at = datetime.strptime(match.group(1), "%Y-%m-%d %H:%M:%S.%f")
            times[match.group(2)].append(at - timedelta(microseconds=int(match.group(3) or 0)))
    return [times[key] for key in times]


def file_start(path):
    """The start of the recording: the header's second plus the first record's subsecond onset."""
    raw, header = Path(path).read_bytes(), edf_header(path)
    start = datetime.strptime((raw[168:176] + raw[176:184]).decode(), "%d.%m.%y%H.%M.%S")
    offset = 256 * (len(header) + 1) + sum(int(h["samples"]) * 3 for h in header.values()
                                            if h["label"] != "BDF Annotations")
    onset = re.match(rb"\+(\d+(?:\.\d+)?)\x14\x14", raw[offset:offset + 40])
    return start + timedelta(seconds=float(onset.group(1))), len(onset.group(1).split(b".")[1])


def test_outages_keep_their_true_length_and_place(tmp_path):
    """Each outage sits in the file where the amplifier's link dropped and lasts until its stream
    started again, so the file spans the wall time; the library logs each loss and reconnect."""
    path, log = tmp_path / "drops.bdf", tmp_path / "lib.log"
    seconds, rate = 5.5, 250  # drops about 1 ... 5 s after the connect
    ok("--log", log, "record", "MV-2401.00.07", path, "--seconds", seconds, sim="MV-2401.00.07,drop_every=1000")
    raw = read_raw(path)
    start, digits = file_start(path)
    assert digits >= 6 and raw.n_times == seconds * rate  # a start time to the microsecond
    at = lambda sample: start + timedelta(seconds=sample / rate)
    outages = marks(raw, rate, "BAD_link_lost")
    lost, back, drops, streams = log_times(log)
    # A drop before the new link streamed (a reconnect slower than the drop period) extends the
    # outage it fell into. Each outage: its first drop and the stream start that ended it.
    restarts = streams[1:]  # streams[0] is the first connect's
    episodes = []
    for drop in drops:
        following = next((s for s in restarts if s > drop), datetime.max)
        if episodes and episodes[-1][1] > drop:
            episodes[-1][1] = following
        else:
            episodes.append([drop, following])
    # Outages the file holds: those begun while it ran (one begun in its last two samples may or
    # may not be). Under load the drops drift later: the last may not be back, or come after the end.
    end = at(raw.n_times)
    assert sum(e[0] < end - timedelta(seconds=2 / rate) for e in episodes) <= len(outages) <= sum(e[0] < end for e in episodes)
    assert outages and len(lost) >= len(outages)  # slow reconnects under load merge drops: at least one
    counter = np.round(raw.get_data(picks=["counter"])[0]).astype(int)
    for i, ((onset, duration, text), (dropped, stream)) in enumerate(zip(outages, episodes)):
        later = episodes[i + 1][0] if i + 1 < len(episodes) else datetime.max
        assert any(dropped - timedelta(milliseconds=1) <= t < stream for t in lost)  # the library logged the loss
        assert abs(at(onset) - dropped) < timedelta(seconds=0.1)
        if text == "BAD_link_lost: not back by the end":
            assert i == len(outages) - 1 and onset + duration == raw.n_times and stream > end - timedelta(seconds=0.1)
            continue
        assert text == f"BAD_link_lost: back after {duration / rate:.3f} s"
        assert abs(at(onset + duration) - stream) < timedelta(seconds=0.1)
        assert any(stream - timedelta(milliseconds=1) <= t < later for t in back)  # logged once the stream is on
        assert counter[onset + duration] == 1  # the first sample the amplifier sent on the new link
    # Between the first and the last outage the file spans what the amplifier's clock saw, within a record.
    span = timedelta(seconds=(outages[-1][0] - outages[0][0]) / rate)
    assert abs(span - (episodes[len(outages) - 1][0] - episodes[0][0])) <= timedelta(seconds=0.1)


@pytest.mark.parametrize("every, seconds", [(5, 4), (25, 8)])
def test_counterless_amplifier_marks_rows_it_lost(tmp_path, every, seconds):
    path = tmp_path / "nus.bdf"
    result = ok("record", "MV-2401.00.07", path, "--seconds", seconds,
                sim=f"MV-2401.00.07,gen=nus,drop_notify_every={every}")
    raw = read_raw(path)
    assert raw.ch_names == ["ch1", "valid"] and edf_header(path)["MISC ch1"]["dimension"] == "count"
    counts = raw.get_data(picks=["ch1"])[0]
    assert np.any(counts) and np.array_equal(counts, np.round(counts))  # raw counts, stored exactly
    missing = raw.get_data(picks=["valid"])[0] == 0
    notes = marks(raw, 256, "BAD_missing")
    assert [(onset, duration) for onset, duration, _ in notes] == runs(missing)
    # Every `every`th notification (one row) is lost: all are marked but those of the last half
    # second and up to three rows the clock has not counted yet.
    lost = (raw.n_times - missing.sum() - 1) // (every - 1)
    assert lost - 0.5 * 256 / every - 3 <= missing.sum() <= lost + 2, (missing.sum(), lost)
    assert f"{missing.sum()} missing sample(s) marked" in result.stdout


@pytest.mark.parametrize("sim, seconds, samples, record", [
    ("MV-2401.00.07", 0.001, 25, b"0.1"),  # below half a sample: one record, not an endless recording
    ("MV-2401.00.07,rate=2000,frames=4", 1.0005, 2100, b"0.05"),
    ("MV-2401.00.07", 1.01, 275, b"0.1"),
])
def test_recording_length_is_whole_records_of_a_tenth_second(tmp_path, sim, seconds, samples, record):
    path = tmp_path / "short.bdf"
    ok("record", "MV-2401.00.07", path, "--seconds", seconds, sim=sim, timeout=60)
    assert read_raw(path).n_times == samples and path.read_bytes()[244:252].strip() == record


def test_no_recording_is_replaced_unasked(tmp_path):
    earlier, leftover = tmp_path / "a.bdf", tmp_path / "b.bdf.partial"
    earlier.write_bytes(b"an earlier session")
    leftover.write_bytes(b"a session that crashed")
    (tmp_path / "c.bdf").mkdir()
    for target, message in [(earlier, "exists; give --overwrite"), (tmp_path / "b.bdf", "b.bdf.partial exists"),
                            (tmp_path / "c.bdf", "is a directory")]:
        result = run("record", LEGACY, target, "--seconds", 1, *(["--overwrite"] if target.name == "c.bdf" else []))
        assert result.returncode == 1 and message in result.stderr
    assert earlier.read_bytes() == b"an earlier session" and leftover.read_bytes() == b"a session that crashed"
    ok("record", LEGACY, earlier, "--seconds", 0.2, "--overwrite")
    assert read_raw(earlier).n_times == 50
    assert sorted(os.listdir(tmp_path)) == ["a.bdf", "b.bdf.partial", "c.bdf"]


def test_ctrl_c_while_looking_for_the_amplifier_stops_at_once():
    tool = Running("info", "MV-2401.09.99")
    tool.wait_for("looking for MV-2401.09.99")
    asked = time.monotonic()
    tool.process.send_signal(signal.SIGINT)
    returncode, _ = tool.finish()
    assert returncode == 130 and "stopped while looking for MV-2401.09.99" in tool.stderr
    assert time.monotonic() - asked < 5  # the search gives up after 10 s on its own


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
    (["fw", "upload", LEGACY, "{tmp}/damaged.bin"], 1, "SHA-256"),
    (["fw", "test", LEGACY, "abcd"], 2, "32"),
    (["frame", NUS, "0x10", "123"], 2, "odd number of hex digits"),
    (["frame", NUS, "0x100"], 2, "not a byte"),
    (["frame", LEGACY, "0x10"], 1, "Could not find characteristic"),
])
def test_bad_input_gets_one_clear_error_and_no_file(tmp_path, args, status, message):
    (tmp_path / "not-an-image.bin").write_bytes(NOT_AN_IMAGE)
    image, _ = mcuboot.build_image()
    (tmp_path / "damaged.bin").write_bytes(image[:100] + bytes([image[100] ^ 1]) + image[101:])
    result = run(*[a.format(tmp=tmp_path) for a in args])
    assert result.returncode == status, result.stderr
    errors = error_lines(result.stderr)
    assert len(errors) == 1 and message in errors[0], result.stderr
    assert sorted(os.listdir(tmp_path)) == ["damaged.bin", "not-an-image.bin"]
