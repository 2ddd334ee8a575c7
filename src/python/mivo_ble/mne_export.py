"""Recordings as MNE-Python objects.

``to_mne(amp, data, timestamps=None)`` builds an ``mne.io.RawArray`` from rows the
amplifier delivered (a 2-D array of rows x row width, as chunks and ``read`` give):

* signal channels (type 1) become ``eeg`` channels named ``EEG <n>``; their values are
  taken as microvolts and stored in volts, MNE's unit for EEG (``signal_scale``);
* the counter channel (type 5) becomes ``misc`` ``Counter``, other channel types ``misc``
  ``Ch <n> (type t)``; the battery column ``misc`` ``Battery`` (percent) and the validity
  column ``stim`` ``Valid`` (1 decoded, 0 filled in);
* the sampling rate is the amplifier's;
* every run of rows filled in for lost notifications becomes a ``BAD_filled`` annotation;
* with timestamps, ``meas_date`` is the wall-clock time of the first row.

MNE is optional: without it, this raises ImportError saying how to install it.
"""

from __future__ import annotations

import datetime
from typing import Optional, Sequence

import numpy

from mivo_ble.columns import COUNTER, SIGNAL, channel_names_and_types, filled_runs
from mivo_ble.timestamps import wall_clock_offset

try:
    import mne
except ImportError:  # optional: to_mne says how to install it
    mne = None

__all__ = ["to_mne", "channel_names_and_types", "filled_runs", "SIGNAL", "COUNTER", "MICROVOLT"]

MICROVOLT = 1e-6


def _import_mne():
    if mne is None:
        raise ImportError(
            "mivo_ble.to_mne needs MNE-Python: install it with 'apt install python3-mne' (Debian) "
            "or 'pip install mivo_ble[mne]'."
        )
    return mne


def to_mne(amp, data, timestamps: Optional[numpy.ndarray] = None, signal_scale: float = MICROVOLT,
           channel_types: Optional[Sequence[int]] = None, sampling_rate: Optional[float] = None):
    """An mne.io.RawArray of `data` (rows x row width) from amplifier `amp`."""
    mne = _import_mne()
    data = numpy.asarray(data, dtype=numpy.float64)
    if data.ndim != 2 or data.shape[1] < 3:
        raise ValueError("data must be a 2-D array of rows with at least one channel, battery and validity.")
    if timestamps is not None and len(timestamps) != len(data):
        raise ValueError("timestamps must have one value per row.")
    types = list(channel_types if channel_types is not None else amp.channel_types)
    rate = float(sampling_rate if sampling_rate is not None else amp.sampling_rate)
    if not rate > 0:
        raise ValueError("The sampling rate must be positive.")
    names, kinds = channel_names_and_types(types, data.shape[1])
    values = data.T.copy()
    for i, kind in enumerate(kinds):
        if kind == "eeg":
            values[i] *= signal_scale
    info = mne.create_info(names, rate, kinds)
    raw = mne.io.RawArray(values, info, verbose="error")
    if timestamps is not None and len(timestamps):
        start = float(timestamps[0]) + wall_clock_offset()
        raw.set_meas_date(datetime.datetime.fromtimestamp(start, tz=datetime.timezone.utc))
    runs = filled_runs(data[:, -1])
    if runs:
        raw.set_annotations(
            mne.Annotations(
                onset=[first / rate for first, _ in runs],
                duration=[count / rate for _, count in runs],
                description=["BAD_filled"] * len(runs),
                orig_time=raw.info["meas_date"],
            )
        )
    return raw
