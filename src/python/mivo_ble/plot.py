"""Stacked EEG-style traces of recorded rows, drawn with matplotlib (optional)."""

from __future__ import annotations

from typing import Optional, Sequence

import numpy

from mivo_ble.columns import channel_names_and_types, filled_runs

try:
    # The figure alone, without pyplot: no backend is chosen for the whole process.
    from matplotlib.figure import Figure
except ImportError:  # optional: plot_rows says how to install it
    Figure = None


def plot_rows(data: numpy.ndarray, rate: float, channel_types: Sequence[int], output: str,
              title: Optional[str] = None, width_inches: float = 12.0, dpi: int = 100) -> None:
    """Writes a picture of the signal and counter channels, one trace per channel stacked
    top to bottom on a common time axis, with rows filled in for lost notifications shaded."""
    if Figure is None:
        raise ImportError(
            "plotting needs matplotlib: install it with 'apt install python3-matplotlib' (Debian) "
            "or 'pip install mivo_ble[plot]'."
        )
    data = numpy.asarray(data, dtype=numpy.float64)
    names, kinds = channel_names_and_types(channel_types, data.shape[1])
    shown = [i for i, kind in enumerate(kinds[:-2])]  # channels, not battery and validity
    seconds = numpy.arange(len(data)) / rate
    height = max(3.0, 0.6 * len(shown) + 1.5)
    figure = Figure(figsize=(width_inches, height), dpi=dpi)
    axes = figure.subplots()
    # Each trace is centred and scaled to a common spread so that all are readable.
    spreads = [numpy.ptp(data[:, i]) if len(data) else 0.0 for i in shown]
    spread = float(numpy.median([s for s in spreads if s > 0])) if any(s > 0 for s in spreads) else 1.0
    for position, i in enumerate(shown):
        trace = data[:, i] - (numpy.median(data[:, i]) if len(data) else 0.0)
        scale = spread if kinds[i] == "eeg" else max(spreads[position], 1e-12)
        axes.plot(seconds, -position + trace / scale * 0.8, linewidth=0.6, color="black" if kinds[i] == "eeg" else "tab:blue")
    for first, count in filled_runs(data[:, -1]) if len(data) else []:
        axes.axvspan(first / rate, (first + count) / rate, color="tab:red", alpha=0.25, linewidth=0)
    axes.set_yticks([-p for p in range(len(shown))])
    axes.set_yticklabels([names[i] for i in shown])
    axes.set_ylim(-len(shown) + 0.2, 0.8)
    axes.set_xlim(0, max(seconds[-1] if len(seconds) else 1.0, 1.0 / rate))
    axes.set_xlabel("time (s)")
    if title:
        axes.set_title(title)
    figure.tight_layout()
    figure.savefig(output)
