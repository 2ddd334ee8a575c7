"""What the columns of a sample row are: names and kinds for MNE and plots, and the
runs of rows that the library filled in for lost ones."""

from __future__ import annotations

from typing import List, Sequence, Tuple

import numpy

SIGNAL, COUNTER = 1, 5


def channel_names_and_types(channel_types: Sequence[int], width: int) -> Tuple[List[str], List[str]]:
    """Names and MNE types of the columns of a row of `width` values."""
    names, kinds = [], []
    count = width - 2
    for n in range(1, count + 1):
        t = channel_types[n - 1] if n - 1 < len(channel_types) else SIGNAL
        if t == SIGNAL:
            names.append(f"EEG {n}")
            kinds.append("eeg")
        elif t == COUNTER:
            names.append("Counter" if "Counter" not in names else f"Counter {n}")
            kinds.append("misc")
        else:
            names.append(f"Ch {n} (type {t})")
            kinds.append("misc")
    return names + ["Battery", "Valid"], kinds + ["misc", "stim"]


def filled_runs(valid: numpy.ndarray) -> List[Tuple[int, int]]:
    """(first row, row count) of every run of rows whose validity column is 0."""
    filled = numpy.asarray(valid) == 0
    if not filled.any():
        return []
    edges = numpy.diff(numpy.concatenate(([0], filled.view(numpy.int8), [0])))
    starts = numpy.flatnonzero(edges == 1)
    ends = numpy.flatnonzero(edges == -1)
    return [(int(s), int(e - s)) for s, e in zip(starts, ends)]
