"""Recordings as MNE-Python objects.

``to_mne(amp, data, timestamps=None)`` builds an ``mne.io.RawArray`` from rows the
amplifier delivered (a 2-D array of rows x row width, as chunks and ``read`` give), with
the columns, units and rate of the amplifier's sample layout in force (``amp.layout``):

* signal channels (type 1) become ``eeg`` channels named ``EEG <n>``, their values taken
  as microvolts and stored in volts, MNE's unit for EEG; channels whose values are raw
  converter counts (no scale factor: every host-set layout) stay ``misc``, unscaled,
  unless ``signal_scale`` (volts per count) is given;
* the counter channel (type 5) becomes ``misc`` ``Counter``, other channel types ``misc``
  ``Ch <n> (type t)``; the battery column ``misc`` ``Battery`` (percent) and the validity
  column ``misc`` ``Valid`` (1 decoded, 0 filled in), kept out of event detection;
* every run of rows filled in for lost notifications becomes a ``BAD_filled`` annotation;
* with timestamps, rows sit at their true time: an outage (a link loss, rows lost without
  a counter to tell) becomes a stretch of zero rows flagged invalid and annotated
  ``BAD_ACQ_SKIP``, which MNE's filters skip; ``meas_date`` is the wall-clock time of the
  first row.

MNE is optional: without it, this raises ImportError saying how to install it.
"""

from __future__ import annotations

import datetime
from typing import Any, List, Optional, Sequence

import numpy

from mivo_ble.columns import channel_names_and_types, filled_runs, gaps, row_positions
from mivo_ble.layout import COUNTER, SIGNAL
from mivo_ble.timestamps import wall_clock_offset

try:
    import mne
except ImportError:  # optional: to_mne says how to install it
    mne = None

__all__ = ["to_mne", "channel_names_and_types", "filled_runs", "SIGNAL", "COUNTER", "MICROVOLT"]

MICROVOLT = 1e-6
OUTAGE = "BAD_ACQ_SKIP"
FILLED = "BAD_filled"


def _import_mne() -> Any:
    if mne is None:
        raise ImportError(
            "mivo_ble.to_mne needs MNE-Python: install it with 'apt install python3-mne' (Debian) "
            "or 'pip install mivo_ble[mne]'."
        )
    return mne


def to_mne(amp: Any, data: Any, timestamps: Optional[Any] = None, signal_scale: Optional[float] = None,
           channel_types: Optional[Sequence[int]] = None, sampling_rate: Optional[float] = None) -> Any:
    """An mne.io.RawArray of `data` (rows x row width) from amplifier `amp` (or None, with
    `channel_types` and `sampling_rate` given).

    `signal_scale` (volts per value) makes every signal channel ``eeg`` with that factor;
    without it microvolt channels are scaled by 1e-6 and raw-count channels kept ``misc``."""
    module = _import_mne()
    data = numpy.asarray(data, dtype=numpy.float64)
    if data.ndim != 2 or data.shape[1] < 3:
        raise ValueError("data must be a 2-D array of rows with at least one channel, battery and validity.")
    if timestamps is not None and len(timestamps) != len(data):
        raise ValueError("timestamps must have one value per row.")
    layout = getattr(amp, "layout", None)
    if channel_types is None and layout is not None and layout.width != data.shape[1]:
        raise ValueError(
            f"data has {data.shape[1]} values per row, but the sample layout in force has {layout.width}: "
            "pass channel_types and sampling_rate for rows of an earlier layout.")
    if channel_types is not None:
        types: List[int] = list(channel_types)
        units: Sequence[Optional[str]] = ()
    elif layout is not None:
        types, units = list(layout.channel_types), layout.units
    else:
        types, units = list(amp.channel_types), ()
    rate = float(sampling_rate if sampling_rate is not None else
                 (layout.sampling_rate if layout is not None else amp.sampling_rate))
    if not rate > 0:
        raise ValueError("The sampling rate must be positive.")
    if signal_scale is not None:
        units = ()  # every signal channel is EEG at the caller's scale
    names, kinds = channel_names_and_types(types, data.shape[1], units)
    scale = MICROVOLT if signal_scale is None else float(signal_scale)

    positions = (row_positions(timestamps, rate) if timestamps is not None
                 else numpy.arange(len(data), dtype=numpy.int64))
    values = numpy.zeros((data.shape[1], int(positions[-1]) + 1 if len(positions) else 0))
    values[:, positions] = data.T
    for i, kind in enumerate(kinds):
        if kind == "eeg":
            values[i] *= scale
    info = module.create_info(names, rate, kinds)
    raw = module.io.RawArray(values, info, verbose="error")
    if timestamps is not None and len(timestamps):
        start = float(timestamps[0]) + wall_clock_offset()
        raw.set_meas_date(datetime.datetime.fromtimestamp(start, tz=datetime.timezone.utc))

    marks = [(int(positions[first]), count, FILLED) for first, count in filled_runs(data[:, -1])]
    marks += [(first, count, OUTAGE) for first, count in gaps(positions)]
    if marks:
        marks.sort()
        raw.set_annotations(
            module.Annotations(
                onset=[first / rate for first, _, _ in marks],
                duration=[count / rate for _, count, _ in marks],
                description=[text for _, _, text in marks],
                orig_time=raw.info["meas_date"],
            )
        )
    return raw
