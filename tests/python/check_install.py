"""Builds the wheel offline, installs it into a throw-away virtual environment and uses it from another folder.

    check_install.py --source <repo>/src/python --library <path of libmivoble.so>

Exits non-zero, with the failing step's output, when any step fails.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

PROBE = textwrap.dedent(
    """
    import sys
    from pathlib import Path
    import mivo_ble
    from mivo_ble.lib import mivo_ble_wrapper as w
    venv = Path(sys.argv[1]).resolve()
    library = Path(w.LIBPATH).resolve()
    assert venv in library.parents, f"library loaded from {library}, not from the environment {venv}"
    assert venv in Path(mivo_ble.__file__).resolve().parents, mivo_ble.__file__
    assert w.MivoBLEWrapper.get_api_version() == "1.24.2.0", w.MivoBLEWrapper.get_api_version()
    assert mivo_ble.MivoBLEWrapper is w.MivoBLEWrapper
    import threading
    amp = w.MivoBLEWrapper("MV-2401.00.01")
    assert amp.serial_number == "MV-2401.00.01", amp.serial_number
    rows = []
    enough = threading.Event()
    def on_row(data):
        rows.append(data)
        if len(rows) >= 25:
            enough.set()
    amp.set_data_callback(on_row)
    amp.start()
    assert enough.wait(10), f"{len(rows)} rows streamed in 10 s"
    amp.stop()
    amp.close()
    print("installed package works:", library)
    """
)


def run(step, command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        sys.exit(f"{step} failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    return result.stdout


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True, type=Path)
    parser.add_argument("--library", required=True, type=Path)
    args = parser.parse_args()
    library = args.library.resolve()

    with tempfile.TemporaryDirectory(prefix="mivo_ble_install_") as scratch:
        scratch = Path(scratch)
        # Build from a copy: an in-tree build would leave build/ and egg-info behind.
        source = scratch / "source"
        shutil.copytree(args.source, source, ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
        venv = scratch / "venv"
        run("venv", ["/usr/bin/python3", "-m", "venv", "--system-site-packages", str(venv)])

        env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MIVOBLE_LIBRARY")}
        pip = [str(venv / "bin" / "pip"), "--disable-pip-version-check"]
        wheels = scratch / "wheels"
        run("pip wheel", pip + ["wheel", "--no-build-isolation", "--no-index", "--no-deps", "-w", str(wheels),
                                str(source)],
            env=dict(env, MIVOBLE_LIBRARY=str(library)))
        (wheel,) = wheels.glob("mivo_ble-*.whl")
        # A wheel that carries a native library must say which platform it is for.
        platform_tag = wheel.stem.rsplit("-", 1)[-1]
        if platform_tag == "any" or "linux" not in platform_tag:
            sys.exit(f"wheel {wheel.name} is not tagged for a Linux platform")
        print("wheel:", wheel.name)
        run("pip install", pip + ["install", "--no-build-isolation", "--no-index", str(wheel)], env=env)

        elsewhere = scratch / "elsewhere"
        elsewhere.mkdir()
        # The library's default log goes under XDG_DATA_HOME: keep it in the scratch folder.
        probe_env = dict(env, MIVOBLE_BACKEND="sim", MIVOBLE_SIM="MV-2401.00.01", HOME=str(scratch),
                         XDG_DATA_HOME=str(scratch / "share"))
        print(run("import", [str(venv / "bin" / "python"), "-c", PROBE, str(venv)], cwd=elsewhere, env=probe_env),
              end="")


if __name__ == "__main__":
    main()
