"""What the columns of a sample row are: names and kinds for MNE and plots, the runs of
rows that the library filled in for lost ones, and where rows belong in time."""

from __future__ import annotations

from typing import List, Optional, Sequence, Tuple

import numpy

from mivo_ble.layout import COUNTER, SIGNAL

# The clock's period may differ from 1/rate by the drift between the amplifier's and the
# host's clocks; more than this is not drift.
MAX_DRIFT = 0.001


def channel_names_and_types(channel_types: Sequence[int], width: int,
                            units: Sequence[Optional[str]] = ()) -> Tuple[List[str], List[str]]:
    """Names and MNE types of the columns of a row of `width` values.

    Signal channels are ``eeg``, unless their unit is "counts" (raw converter values, which
    MNE must not take for volts): those are ``misc``. The validity column is ``misc`` too,
    so that it never looks like a trigger channel to event detection."""
    names, kinds = [], []
    count = width - 2
    for n in range(1, count + 1):
        t = channel_types[n - 1] if n - 1 < len(channel_types) else SIGNAL
        unit = units[n - 1] if n - 1 < len(units) else None
        if t == SIGNAL:
            names.append(f"EEG {n}")
            kinds.append("misc" if unit == "counts" else "eeg")
        elif t == COUNTER:
            names.append("Counter" if "Counter" not in names else f"Counter {n}")
            kinds.append("misc")
        else:
            names.append(f"Ch {n} (type {t})")
            kinds.append("misc")
    return names + ["Battery", "Valid"], kinds + ["misc", "misc"]


def filled_runs(valid: numpy.ndarray) -> List[Tuple[int, int]]:
    """(first row, row count) of every run of rows whose validity column is 0."""
    filled = numpy.asarray(valid) == 0
    if not filled.any():
        return []
    edges = numpy.diff(numpy.concatenate(([0], filled.view(numpy.int8), [0])))
    starts = numpy.flatnonzero(edges == 1)
    ends = numpy.flatnonzero(edges == -1)
    return [(int(s), int(e - s)) for s, e in zip(starts, ends)]


def row_positions(timestamps: numpy.ndarray, rate: float) -> numpy.ndarray:
    """Sample index of every row on a gapless time line: consecutive rows one apart, rows
    after an outage (a link loss, rows lost without a trace) as many apart as the
    timestamps say. The period is the timestamps' own (their median spacing, which follows
    clock drift), held within MAX_DRIFT of 1/rate."""
    times = numpy.asarray(timestamps, dtype=numpy.float64)
    if len(times) < 2:
        return numpy.arange(len(times), dtype=numpy.int64)
    spacing = numpy.diff(times)
    nominal = 1.0 / rate
    period = float(numpy.clip(numpy.median(spacing), nominal * (1 - MAX_DRIFT), nominal * (1 + MAX_DRIFT)))
    steps = numpy.maximum(1, numpy.rint(spacing / period)).astype(numpy.int64)
    return numpy.concatenate(([0], numpy.cumsum(steps)))


def gaps(positions: numpy.ndarray) -> List[Tuple[int, int]]:
    """(first missing index, count) of every stretch of the time line without rows."""
    steps = numpy.diff(positions)
    at = numpy.flatnonzero(steps > 1)
    return [(int(positions[i] + 1), int(steps[i] - 1)) for i in at]
