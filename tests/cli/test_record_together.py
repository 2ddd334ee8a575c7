"""Several amplifiers at once: recorded together into one file each, read back by MNE; monitored side by side;
bad input and Ctrl-C while the amplifiers open."""
import os
import re
import signal
import time
from datetime import timedelta

import sys
from pathlib import Path

import numpy as np
import pytest

from test_cli import Running, error_lines, file_start, marks, ok, read_raw, run, wait_for_size

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import align_recordings  # noqa: E402  (the worked example of docs/several-amplifiers.md)

A, B = "MV-2401.00.07", "MV-2401.00.08"
NOTE = re.compile(r"sample (\d+) at mono (\d+\.\d{6})$")


def clock_notes(raw):
    """(sample in the file, sample in the note, monotonic seconds) of every clock note."""
    rate = raw.info["sfreq"]
    return [(round(a["onset"] * rate), int(m.group(1)), float(m.group(2)))
            for a in raw.annotations if (m := NOTE.match(a["description"]))]


@pytest.mark.parametrize("case, sim, seconds", [
    # Mixed rates (each file keeps its own), long enough for a second clock note.
    ("mixed rates", f"{A},channels=4;{B},channels=2,rate=500,frames=5", 10.5),
    # The drop comes about 4 s after the connect: some 2 s into the recording.
    ("one dropped", f"{A},channels=4,drop_once=4000;{B},channels=4", 5),
], ids=["mixed rates", "one dropped"])
def test_amplifiers_recorded_together(tmp_path, case, sim, seconds):
    folder = tmp_path / "session"
    result = ok("record", A, B, f"{folder}/", "--seconds", seconds, sim=sim)
    assert sorted(os.listdir(folder)) == [f"{A}.bdf", f"{B}.bdf"]
    assert [line.split(":")[0] for line in result.stdout.splitlines()] == [A, B]
    raws = {name: read_raw(folder / f"{name}.bdf") for name in (A, B)}
    rates = {name: raw.info["sfreq"] for name, raw in raws.items()}
    assert rates == {A: 250, B: 500 if case == "mixed rates" else 250}
    for name, raw in raws.items():
        assert seconds <= raw.n_times / rates[name] < seconds + 0.1

    # Started from one instant: the start times (to the microsecond) within one sample period.
    starts = {name: file_start(folder / f"{name}.bdf") for name in (A, B)}
    assert all(digits >= 6 for _, digits in starts.values())
    assert abs(starts[A][0] - starts[B][0]) < timedelta(seconds=1 / min(rates.values()))

    # A clock note on the first sample and every 10 s, each on its own sample; their monotonic times
    # advance with the samples (the simulator's clocks are exact; a row clock that had not settled
    # when the recordings started, as on a very busy host, still sheds its first delay), and the
    # first ones differ as the start times do.
    notes = {name: clock_notes(raw) for name, raw in raws.items()}
    tolerance = 0.005 if "has not settled" not in result.stderr else 0.05
    for name, found in notes.items():
        expected = list(range(0, raws[name].n_times, round(10 * rates[name])))
        assert [n for _, n, _ in found] == expected and all(at == n for at, n, _ in found), found
        for (_, n0, t0), (_, n1, t1) in zip(found, found[1:]):
            assert abs((t1 - t0) - (n1 - n0) / rates[name]) < tolerance
    between = timedelta(seconds=notes[A][0][2] - notes[B][0][2])
    assert abs(between - (starts[A][0] - starts[B][0])) < timedelta(microseconds=10)

    if case == "one dropped":
        # The lost amplifier is annotated in its own file; the other recorded on without a gap.
        outages = marks(raws[A], 250, "BAD_link_lost")
        assert len(outages) == 1 and outages[0][2].startswith("BAD_link_lost: back after")
        assert not marks(raws[B], 250, "BAD_")
        counter = raws[B].get_data(picks=["counter"])[0]
        assert np.all(np.diff(counter) == 1) and np.all(raws[B].get_data(picks=["valid"])[0] == 1)
        # The worked example puts both on one grid, the outage with them.
        aligned = align_recordings.align([folder / f"{A}.bdf", folder / f"{B}.bdf"])
        assert aligned.ch_names[0] == f"{A} ch1" and aligned.ch_names[6] == f"{B} ch1"
        assert abs(aligned.n_times / 250 - seconds) < 0.05
        assert [a["description"] for a in aligned.annotations] == [f"{outages[0][2]} ({A})"]


def test_monitor_shows_one_block_per_amplifier():
    result = ok("monitor", "MV-2401.00.01", "MV-2401.00.02", "--once")
    blocks = [block.splitlines() for block in result.stdout.split("\n\n")]
    assert [block[0].split()[0] for block in blocks] == ["MV-2401.00.01", "MV-2401.00.02"]
    assert [float(block[0].split()[1]) for block in blocks] == pytest.approx([250, 256], abs=6)
    assert [line.split()[0] for line in blocks[1][2:]] == ["ch1"]


def unwritable_folder(tmp_path):
    """A folder nobody may write into (sysfs refuses even root)."""
    if os.geteuid() == 0:
        return "/sys"
    folder = tmp_path / "locked"
    folder.mkdir(mode=0o555)
    return str(folder)


TWO = f"{A},channels=4;{B},channels=4"


@pytest.mark.parametrize("args, status, message, sim", [
    pytest.param(["record", A, B, A, "{tmp}/session/"], 2, f"{A} is named twice", TWO, id="named twice"),
    pytest.param(["monitor", A, A], 2, f"{A} is named twice", TWO, id="monitor named twice"),
    pytest.param(["record", A, B, "{tmp}/session.bdf"], 2, "directory", TWO, id="one file for two"),
    pytest.param(["record", A, "MV-2401.09.99", B, "{tmp}/session/", "--wait", "1"], 1,
                 "open MV-2401.09.99: no amplifier", TWO, id="unknown among known"),
    pytest.param(["record", A, B, "--output-dir", "{locked}/session"], 1, "cannot write into", TWO,
                 id="folder cannot be made"),
    pytest.param(["record", A, B, "{locked}/"], 1, "cannot write", TWO, id="folder cannot be written"),
    pytest.param(["record", A, B, "{tmp}/leftover/"], 1, f"{B}.bdf.partial exists", TWO, id="leftover partial"),
    # B streams, but every notification is lost on air.
    pytest.param(["record", A, B, "{tmp}/session/", "--wait", "1"], 1, f"{B} sent no samples",
                 f"{A};{B},drop_notify_every=1", id="one sends nothing"),
])
def test_bad_input_gets_one_clear_error_and_leaves_no_file(tmp_path, args, status, message, sim):
    leftover = tmp_path / "leftover"
    leftover.mkdir()
    (leftover / f"{B}.bdf.partial").write_bytes(b"an earlier session")
    locked = unwritable_folder(tmp_path)
    before = sorted(str(p) for p in tmp_path.rglob("*"))
    result = run(*[a.format(tmp=tmp_path, locked=locked) for a in args], sim=sim)
    assert result.returncode == status, result.stderr
    errors = error_lines(result.stderr)
    assert len(errors) == 1 and message in errors[0], result.stderr
    assert sorted(str(p) for p in tmp_path.rglob("*")) == before  # reservations and made folders removed


# A's open takes long; the second signal lands while the tool still waits for it.
@pytest.mark.parametrize("signals, delay_ms", [(1, 1500), (2, 20000)], ids=["once", "twice"])
def test_ctrl_c_while_the_amplifiers_open_stops_cleanly(tmp_path, signals, delay_ms):
    """Ctrl-C while A opens: the tool waits for that open (or not, at a second signal) and keeps nothing."""
    slow = f"{A},channels=4,delay=GetGattServicesAsync:{delay_ms};{B},channels=4"
    tool = Running("record", A, B, f"{tmp_path}/session/", sim=slow)
    tool.wait_for(f"opening {A}")
    asked = time.monotonic()
    for _ in range(signals):
        tool.process.send_signal(signal.SIGINT)
        tool.wait_for("stopping" if _ == 0 else "quitting")
    returncode, stdout = tool.finish(timeout=30)
    assert returncode == 130 and stdout == "", tool.stderr
    assert signals == 2 or "stopped while opening the amplifiers" in tool.stderr
    assert time.monotonic() - asked < 10
    assert os.listdir(tmp_path) == []


def test_ctrl_c_while_recording_together_finishes_every_file(tmp_path):
    folder = tmp_path / "session"
    tool = Running("record", A, B, f"{folder}/", sim=TWO)
    tool.wait_for("the recordings start")
    for name in (A, B):
        wait_for_size(folder / f"{name}.bdf.partial", 20000)
    tool.process.send_signal(signal.SIGINT)
    returncode, stdout = tool.finish()
    assert returncode == 0, tool.stderr
    assert sorted(os.listdir(folder)) == [f"{A}.bdf", f"{B}.bdf"]
    assert [line.split(":")[0] for line in stdout.splitlines()] == [A, B]
    # Both ended at once (up to a batch in flight and the last record's padding), every row kept.
    lengths = []
    for name in (A, B):
        raw = read_raw(folder / f"{name}.bdf")
        counter = raw.get_data(picks=["counter"])[0]
        assert raw.n_times >= 250 and np.all(np.diff(counter) == 1), name
        lengths.append(raw.n_times / 250)
    assert abs(lengths[0] - lengths[1]) < 0.5, lengths
