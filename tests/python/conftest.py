import sys
from pathlib import Path

# Run from the source tree without installing the package.
_SOURCE = str(Path(__file__).resolve().parents[2] / "src" / "python")
if _SOURCE not in sys.path:
    sys.path.insert(0, _SOURCE)
