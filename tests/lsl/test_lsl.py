"""`mivoble lsl` on the simulated radio, judged through liblsl's own resolver and inlet API.

Every process that touches LSL here runs with the lsl_api.cfg that keeps discovery on 127.0.0.1.
"""
import csv
import io
import os
import secrets
import shutil
import signal
import subprocess
from contextlib import contextmanager
from pathlib import Path

import numpy as np
import pytest

import lsl_inlet

CLI = os.environ.get("MIVOBLE_CLI", str(Path(__file__).resolve().parents[2] / "build/release/mivoble"))


def amplifier(number, run=secrets.token_hex(3)):
    """A serial number of this test run: LSL discovery sees every stream on the machine, so runs
    of this suite at the same time must not announce the same amplifiers."""
    return f"MV-{run[:4]}.{run[4:]}.{number:02d}"


LEGACY, NUS = amplifier(1), amplifier(2)
# The simulated amplifiers of a bridge started without --sim.
SIM = f"{LEGACY},gen=legacy;{NUS},gen=nus"
FOUND, WHY_NOT = lsl_inlet.find_liblsl()
if FOUND:
    # Before liblsl is first used in this process: it reads its configuration once. The bridges
    # inherit it, so that the whole run stays on 127.0.0.1 and on LSL ports of its own.
    os.environ["LSLAPICFG"] = lsl_inlet.private_ports_config(FOUND[1])
needs_lsl = pytest.mark.skipif(not FOUND, reason=WHY_NOT or "")


@pytest.fixture(scope="module")
def lsl():
    return lsl_inlet.Lsl(FOUND[0])


@pytest.fixture(autouse=True)
def no_inlet_outlives_its_test(request):
    yield
    if "lsl" in request.fixturenames:
        request.getfixturevalue("lsl").close_inlets()


def environment(library=None):
    env = dict(os.environ, MIVOBLE_SIM=SIM)
    env["MIVOBLE_LSL_LIBRARY"] = library or FOUND[0]
    return env


def command(*args, sim=None):
    return [CLI, "--backend", "sim"] + (["--sim", sim] if sim is not None else []) + ["lsl"] + [str(a) for a in args]


@contextmanager
def bridge(*args, sim=None):
    """A running `mivoble lsl`; killed if the test leaves it running."""
    process = subprocess.Popen(command(*args, sim=sim), env=environment(), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    try:
        yield process
    finally:
        if process.poll() is None:
            process.kill()
            print("the bridge's output:", *process.communicate(), sep="\n")  # shown when the test fails


def finish(process, timeout=30):
    out, err = process.communicate(timeout=timeout)
    # A bridge that kept outlets for their consumers ends through _exit, where a sanitizer's
    # verdict no longer reaches the exit status: its report is looked for instead.
    assert "ThreadSanitizer:" not in err and "AddressSanitizer:" not in err and "LeakSanitizer:" not in err, err
    return process.returncode, out, err


def resolve_one(lsl, source_id, kind="EEG"):
    infos = lsl.resolve(f"type='{kind}' and source_id='{source_id}'")
    assert len(infos) == 1, f"{len(infos)} {kind} streams of {source_id}"
    return infos[0]


@pytest.mark.parametrize("case", ["unset", "missing", "text", "old", "partial"])
def test_without_a_usable_liblsl_the_tool_says_so_in_one_line(tmp_path, case):
    env = environment()
    if case == "unset":
        del env["MIVOBLE_LSL_LIBRARY"]
        env["LD_LIBRARY_PATH"] = str(tmp_path)
        probe = subprocess.run(["/sbin/ldconfig", "-p"], capture_output=True, text=True)
        if "liblsl.so" in probe.stdout:
            pytest.skip("liblsl is installed on this machine")
        expected = ["tried liblsl.so.2 (", "liblsl.so (", "install liblsl 1.14 or newer"]
    elif case == "missing":
        env["MIVOBLE_LSL_LIBRARY"] = str(tmp_path / "nowhere" / "liblsl.so")
        expected = [f"tried MIVOBLE_LSL_LIBRARY={tmp_path}/nowhere/liblsl.so (", "MIVOBLE_LSL_LIBRARY"]
    elif case == "text":
        # What a copied symbolic link can turn into.
        (tmp_path / "liblsl.so").write_text("liblsl.so.2")
        env["MIVOBLE_LSL_LIBRARY"] = str(tmp_path / "liblsl.so")
        expected = ["liblsl not found", "file too short"]
    elif case == "old":
        env["MIVOBLE_LSL_LIBRARY"] = os.environ["MIVOBLE_TEST_FAKE_LSL_OLD"]
        expected = ["is version 1.13, older than the 1.14 that mivoble lsl needs"]
    else:
        env["MIVOBLE_LSL_LIBRARY"] = os.environ["MIVOBLE_TEST_FAKE_LSL_PARTIAL"]
        expected = ["lacks lsl_push_chunk_ftnp"]
    result = subprocess.run(command(LEGACY), env=env, capture_output=True, text=True, timeout=60)
    assert result.returncode == 1
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("mivoble: "), result.stderr
    for text in expected:
        assert text in lines[0]


@needs_lsl
@pytest.mark.parametrize("name, sim, channels, rate, unit, model", [
    (LEGACY, None, [f"ch{i}" for i in range(1, 9)], 250, "microvolts", "mivo MV-2401"),
    (amplifier(5), f"{amplifier(5)},gen=nus,model=MV-N2,fw=2.3.4", ["ch1"], 256, "counts", "MV-N2"),
])
def test_streams_are_described_and_listed(lsl, name, sim, channels, rate, unit, model):
    with bridge(name, sim=sim) as process:
        inlet = lsl.inlet(resolve_one(lsl, name))
        info = inlet.info
        assert (info.findtext("name"), info.findtext("type"), info.findtext("source_id")) == (name, "EEG", name)
        assert (int(info.findtext("channel_count")), float(info.findtext("nominal_srate"))) == (len(channels), rate)
        assert info.findtext("channel_format") == "float32"
        described = [(c.findtext("label"), c.findtext("unit"), c.findtext("type"))
                     for c in info.find("desc/channels").findall("channel")]
        assert described == [(label, unit, "EEG") for label in channels]
        acquisition = info.find("desc/acquisition")
        assert acquisition.findtext("model") == model and acquisition.findtext("serial_number") == name
        assert acquisition.findtext("manufacturer") == "mivo medical"
        assert acquisition.findtext("firmware_version") == ("2.3.4" if sim else "1.0.0")
        inlet.close()

        markers = lsl.inlet(resolve_one(lsl, f"{name}-markers", "Markers"))
        assert markers.info.findtext("name") == f"{name} markers"
        assert (markers.info.findtext("channel_format"), float(markers.info.findtext("nominal_srate"))) == ("string", 0)
        markers.close()

        listed = subprocess.run(command("--list", "--seconds", "1.5"), env=environment(), capture_output=True,
                                text=True, timeout=60)
        rows = [line.split() for line in listed.stdout.splitlines()]
        assert rows[0] == ["NAME", "TYPE", "HOST", "RATE", "CHANNELS", "SOURCE_ID"]
        assert [name, "EEG", os.uname().nodename, str(rate), str(len(channels)), name] in rows
        assert [name, "markers", "Markers", os.uname().nodename, "irregular", "1", f"{name}-markers"] in rows
        process.send_signal(signal.SIGINT)
        assert finish(process)[0] == 0


def rows_by_counter(name, sim, seconds=4):
    result = subprocess.run([CLI, "--backend", "sim", "--sim", sim, "stream", name, "--seconds", str(seconds)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    rows = list(csv.reader(io.StringIO(result.stdout)))
    counter = rows[0].index("counter")
    return {int(float(r[counter])): np.array(r[1:counter], dtype=np.float32) for r in rows[1:]}


@needs_lsl
def test_samples_equal_the_amplifier_rows_at_regular_times(lsl):
    name = amplifier(7)
    sim = f"{name},channels=4,frames=2,rate=500,interval=7.5"
    expected = rows_by_counter(name, sim)
    with bridge(name, "--all-columns", sim=sim) as process:
        inlet = lsl.inlet(resolve_one(lsl, name))
        labels = [c.findtext("label") for c in inlet.info.find("desc/channels").findall("channel")]
        assert labels == ["ch1", "ch2", "ch3", "ch4", "counter", "battery", "valid"]
        data, stamps, received = inlet.pull(1500)
        process.send_signal(signal.SIGINT)
        assert finish(process)[0] == 0
    counters = data[:, 4].astype(np.int64)
    assert np.all(np.diff(counters) == 1) and np.all(data[:, 6] == 1) and np.all(data[:, 5] == 87)
    common = [i for i, c in enumerate(counters) if c in expected]
    assert len(common) >= 1000
    for i in common:
        np.testing.assert_array_equal(data[i, :4], expected[counters[i]])
    # One period apart within the 1.5 % the clock's slew allows, never back, never ahead of arrival.
    # Closer only in the few chunks the clock drew back to their arrival, where a loaded machine
    # delivered early rows late and the line then dropped faster than the slew takes up.
    steps = np.diff(stamps) * 500
    close = np.count_nonzero(steps <= 0.985)
    assert steps.min() > 0 and steps.max() < 1.015 and close <= 0.05 * len(steps), (steps.min(), steps.max(), close)
    assert np.all(stamps <= received)


@needs_lsl
def test_link_drop_and_filled_rows_show_as_markers_and_the_stream_goes_on(lsl):
    name = amplifier(8)
    sim = f"{name},channels=2,drop_once=4000,drop_notify_every=60"
    with bridge(name, "--all-columns", sim=sim) as process:
        samples = lsl.inlet(resolve_one(lsl, name))
        markers = lsl.inlet(resolve_one(lsl, f"{name}-markers", "Markers"))
        got = markers.markers(until=lambda m: any(t.startswith("link back") for t, _ in m))
        back_at = next((at for t, at in got if t.startswith("link back")), None)
        assert back_at is not None, got
        data, stamps, _ = samples.pull(500, after=back_at)
        process.send_signal(signal.SIGINT)
        code, _, err = finish(process)
    assert code == 0
    texts = [t for t, _ in got]
    assert "link lost" in texts, texts
    back = next(t for t, _ in got if t.startswith("link back after "))
    assert 0 < float(back.split()[3]) < 10
    filled = [(t, at) for t, at in got if t.endswith("filled in")]
    assert filled and all(t == "1 sample filled in" for t, _ in filled), texts
    # Samples keep coming after the reconnect, on a timeline that never goes back.
    assert stamps[-1] > back_at and np.all(np.diff(stamps) > 0)
    # A filled-in sample sits where its marker says, flagged not valid.
    invalid = stamps[data[:, 4] == 0]
    assert any(np.isclose(invalid, at, atol=1e-9).any() for _, at in filled if at >= stamps[0])
    assert "1 link loss(es)" in err


@needs_lsl
@pytest.mark.parametrize("consumers", [False, True])
def test_ctrl_c_leaves_no_outlet_behind(lsl, consumers):
    """With inlets still connected the outlets end with the process, otherwise before it."""
    with bridge(LEGACY) as process:
        infos = [resolve_one(lsl, LEGACY), resolve_one(lsl, f"{LEGACY}-markers", "Markers")]
        inlets = [lsl.inlet(info) for info in infos] if consumers else []
        if consumers:
            assert len(inlets[0].pull(50)[1]) >= 50
        process.send_signal(signal.SIGINT)
        code, _, err = finish(process, timeout=15)
    assert code == 0 and "stopping" in err
    # The closing summary (LeakSanitizer may add its own lines after it).
    assert any(line.startswith(f"{LEGACY}: ") and " samples (" in line for line in err.splitlines()), err
    assert lsl.resolve(f"source_id='{LEGACY}' or source_id='{LEGACY}-markers'", minimum=1, timeout=2.0) == []
    for inlet in inlets:
        inlet.close()


@needs_lsl
def test_an_unknown_amplifier_is_reported_and_the_others_keep_streaming(lsl):
    unknown = amplifier(99)
    with bridge(LEGACY, unknown, "--wait", "1", "--seconds", "4") as process:
        inlet = lsl.inlet(resolve_one(lsl, LEGACY))
        _, stamps, _ = inlet.pull(750)
        code, _, err = finish(process)
    assert code == 1
    assert f"mivoble: open {unknown}: no amplifier of that name advertised within 1 s" in err
    assert len(stamps) >= 750 and np.diff(stamps).max() < 2 / 250


@needs_lsl
def test_an_amplifier_announced_by_another_tool_is_not_announced_twice(lsl):
    with bridge(LEGACY) as first:
        resolve_one(lsl, LEGACY)
        with bridge(LEGACY, NUS, "--seconds", "2") as second:
            resolve_one(lsl, NUS)
            code, _, err = finish(second)
        assert code == 1
        assert f"mivoble: {LEGACY}: another program already announces this amplifier on LSL" in err
        assert f"{NUS}: 1 channels at 256 Hz on LSL" in err
        assert len(lsl.resolve(f"source_id='{LEGACY}'", minimum=2, timeout=1.5)) == 1
        first.send_signal(signal.SIGINT)
        assert finish(first)[0] == 0


@needs_lsl
@pytest.mark.parametrize("loopback, status, message", [
    (True, 0, "no network interface but loopback is up: LSL streams are visible on this machine only"),
    (False, 1, "mivoble: no network interface is up, not even loopback: no program could find LSL streams"),
])
def test_a_machine_without_a_network(tmp_path, loopback, status, message):
    """In a network namespace of its own, where only the loopback interface exists."""
    if not shutil.which("unshare") or subprocess.run(["unshare", "-rn", "true"]).returncode != 0:
        pytest.skip("no unprivileged network namespaces here (unshare -rn)")
    if loopback and not shutil.which("ip"):
        pytest.skip("no ip command to bring the loopback interface up")
    script = ("ip link set lo up\n" if loopback else "") + f"""
"$1" --backend sim lsl {LEGACY} --seconds 4 2> bridge.err &
sleep_until_listed() {{ for i in 1 2 3 4 5; do "$1" lsl --list --seconds 1 > list.out 2> list.err; grep -q {LEGACY} list.out && return; done; }}
[ {int(loopback)} = 1 ] && sleep_until_listed "$1"
wait $!
"""
    result = subprocess.run(["unshare", "-rn", "sh", "-c", script, "sh", CLI], cwd=tmp_path, env=environment(),
                            capture_output=True, text=True, timeout=120)
    err = (tmp_path / "bridge.err").read_text()
    assert result.returncode == status, err
    assert message in err
    if loopback:
        assert f"{LEGACY}: 8 channels at 250 Hz on LSL" in err
        assert any(line.split()[:2] == [LEGACY, "EEG"] for line in (tmp_path / "list.out").read_text().splitlines())
    else:
        assert "opening" not in err
