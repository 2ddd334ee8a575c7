"""Python access to mivoble, the host library for Bluetooth LE EEG amplifiers.

The wrapper lives in :mod:`mivo_ble.lib.mivo_ble_wrapper`. Importing this package
does not load the native library; ``mivo_ble.MivoBLEWrapper`` does, on first use.
"""

__version__ = "1.24.2"

__all__ = ["MivoBLEWrapper", "Amplifier", "RuntimeShutDown", "to_mne", "wall_clock_offset", "__version__"]


def __getattr__(name):
    # Loading the native library is deferred so that `import mivo_ble` works
    # (for example to read __version__) even where the library is missing.
    if name == "MivoBLEWrapper":
        from mivo_ble.lib.mivo_ble_wrapper import MivoBLEWrapper

        return MivoBLEWrapper
    if name == "Amplifier":
        from mivo_ble.amplifier import Amplifier

        return Amplifier
    if name == "to_mne":
        # MNE itself is imported only when to_mne is called.
        from mivo_ble.mne_export import to_mne

        return to_mne
    if name == "wall_clock_offset":
        from mivo_ble.timestamps import wall_clock_offset

        return wall_clock_offset
    if name == "RuntimeShutDown":
        from mivo_ble.exceptions import RuntimeShutDown

        return RuntimeShutDown
    raise AttributeError(f"module 'mivo_ble' has no attribute {name!r}")
