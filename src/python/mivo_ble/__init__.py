"""Python access to mivoble, the host library for Bluetooth LE EEG amplifiers.

The wrapper lives in :mod:`mivo_ble.lib.mivo_ble_wrapper`. Importing this package
does not load the native library; ``mivo_ble.MivoBLEWrapper`` does, on first use.
"""

import importlib
from typing import Any

__version__ = "1.24.2"

# Attribute -> module that defines it, imported on first access (PEP 562): loading the
# native library is deferred so that `import mivo_ble` works (for example to read
# __version__) even where the library is missing, and MNE is imported only by to_mne.
_LAZY = {
    "MivoBLEWrapper": "mivo_ble.lib.mivo_ble_wrapper",
    "Amplifier": "mivo_ble.amplifier",
    "to_mne": "mivo_ble.mne_export",
    "wall_clock_offset": "mivo_ble.timestamps",
    "RuntimeShutDown": "mivo_ble.exceptions",
    "MivoBLEError": "mivo_ble.exceptions",
    "open_all": "mivo_ble.lib.mivo_ble_wrapper",
    "Layout": "mivo_ble.layout",
}

__all__ = [*_LAZY, "__version__"]


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'mivo_ble' has no attribute {name!r}")
    return getattr(importlib.import_module(module), name)
