"""Runs a test in a forked child process.

The native library keeps process-wide state (its shutdown is final, the
simulated radio reads its configuration once), and the wrapper keeps class
state, so every test that loads the library runs in a fresh child. The parent
never loads it. The child reports its outcome through a pipe; a child that
hangs past its deadline is killed and the test fails.
"""

import functools
import importlib
import os
import select
import signal
import sys
import time
import traceback

import pytest

import fake_bluez

_OK, _FAILED, _SKIPPED = 0, 1, 2

def load_wrapper():
    """Imports the wrapper afresh, so it binds the library MIVOBLE_LIBRARY names now."""
    for name in [name for name in sys.modules if name.startswith("mivo_ble.")]:
        sys.modules.pop(name, None)
    return importlib.import_module("mivo_ble.lib.mivo_ble_wrapper")


def _child(func, args, kwargs, env, write_fd):
    status, message = _OK, ""
    try:
        for key, value in env.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value
        func(*args, **kwargs)
    except pytest.skip.Exception as exc:
        status, message = _SKIPPED, str(exc)
    except BaseException:  # noqa: B902 - everything must reach the parent
        status, message = _FAILED, traceback.format_exc()
    finally:
        try:
            sys.stdout.flush()
            sys.stderr.flush()
            os.write(write_fd, bytes([status]) + message.encode("utf-8", errors="replace"))
        finally:
            os._exit(status)


def _collect(pid, read_fd, timeout):
    deadline = time.monotonic() + timeout
    chunks = []
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            os.close(read_fd)
            pytest.fail(f"test process did not finish within {timeout} s", pytrace=False)
        ready, _, _ = select.select([read_fd], [], [], left)
        if ready:
            chunk = os.read(read_fd, 65536)
            if not chunk:
                break
            chunks.append(chunk)
    os.close(read_fd)
    _, wait_status = os.waitpid(pid, 0)
    report = b"".join(chunks)
    if os.WIFSIGNALED(wait_status):
        pytest.fail(f"test process died from signal {os.WTERMSIG(wait_status)}", pytrace=False)
    if not report:
        pytest.fail(f"test process exited with status {os.waitstatus_to_exitcode(wait_status)} "
                    "without reporting", pytrace=False)
    status, message = report[0], report[1:].decode("utf-8", errors="replace")
    if status == _SKIPPED:
        pytest.skip(message)
    if status != _OK:
        pytest.fail(message, pytrace=False)


def isolated(timeout=60.0, sim_only=None, **env):
    """Decorator: run the test in a forked child with the given environment.

    Keyword arguments set environment variables in the child (None removes
    one); `timeout` bounds the child's run time in seconds. A test on the
    simulated radio runs through BlueZ's API against the fake bluetoothd when
    MIVOBLE_TEST_BACKEND=bluez, unless `sim_only` gives the reason it cannot.
    """

    def decorate(func):
        @functools.wraps(func)
        def run(*args, **kwargs):
            if env.get("MIVOBLE_BACKEND") == "sim" and fake_bluez.through_bluez():
                if sim_only:
                    pytest.skip(f"simulator only: {sim_only}")
                fake = fake_bluez.FakeBluetoothd(env.get("MIVOBLE_SIM"))
                try:
                    _run_forked(func, args, kwargs,
                                dict(env, MIVOBLE_BACKEND="bluez", DBUS_SYSTEM_BUS_ADDRESS=fake.address), timeout)
                finally:
                    fake.stop()
                return
            _run_forked(func, args, kwargs, env, timeout)

        return run

    return decorate


def _run_forked(func, args, kwargs, env, timeout):
    read_fd, write_fd = os.pipe()
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:
        os.close(read_fd)
        _child(func, args, kwargs, env, write_fd)
    os.close(write_fd)
    _collect(pid, read_fd, timeout)
