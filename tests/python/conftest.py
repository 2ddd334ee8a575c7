import atexit
import os
import shutil
import sys
import tempfile
from pathlib import Path

# Run from the source tree without installing the package.
_SOURCE = str(Path(__file__).resolve().parents[2] / "src" / "python")
if _SOURCE not in sys.path:
    sys.path.insert(0, _SOURCE)

# The library's default log goes under XDG_DATA_HOME; never into the real home folder.
if "XDG_DATA_HOME" not in os.environ:
    os.environ["XDG_DATA_HOME"] = tempfile.mkdtemp(prefix="mivo_ble_tests_")
    atexit.register(shutil.rmtree, os.environ["XDG_DATA_HOME"], True)
