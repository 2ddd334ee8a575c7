"""The sample layout in force: what each column of a row holds and how fast rows come.

The library fixes a layout when it opens an amplifier (the amplifier's own on the legacy
generation, a default host layout on the newer one), and the host replaces it with
``set_active_layout``; a reconnect brings the open's layout back. Everything derived from
rows (timestamps, the buffer, MNE channels and units) follows this record.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional, Sequence, Tuple

SIGNAL, BATTERY, VALID, COUNTER = 1, 4, 9, 5


@dataclass(frozen=True)
class Layout:
    """Channel columns (their types, and scales where known), then battery and valid flag."""

    channel_types: Tuple[int, ...]
    sampling_rate: int
    # The library's factor per channel: 1.0 means the values are the amplifier's raw
    # counts; None means the library did not say (taken as microvolts).
    scales: Tuple[Optional[float], ...] = ()

    @staticmethod
    def host(channel_count: int, sampling_rate: int) -> "Layout":
        """A layout the host sets: signal channels of raw counts (scale 1.0)."""
        return Layout((SIGNAL,) * channel_count, sampling_rate, (1.0,) * channel_count)

    @staticmethod
    def described(channel_types: Sequence[int], sampling_rate: int,
                  scales: Sequence[Optional[float]] = ()) -> "Layout":
        types = tuple(int(t) for t in channel_types)
        padded = tuple(scales[:len(types)]) + (None,) * max(0, len(types) - len(scales))
        return Layout(types, int(sampling_rate), padded)

    @property
    def width(self) -> int:
        """Values per row: the channels, the battery level and the valid flag."""
        return len(self.channel_types) + 2

    @property
    def column_types(self) -> Tuple[int, ...]:
        return self.channel_types + (BATTERY, VALID)

    @property
    def counter_column(self) -> Optional[int]:
        """The column of the frame counter (the last channel of type 5), if there is one."""
        columns = [i for i, t in enumerate(self.channel_types) if t == COUNTER]
        return columns[-1] if columns else None

    @property
    def units(self) -> Tuple[Optional[str], ...]:
        """Per channel column: "uV" for a scaled signal channel, "counts" for an unscaled one,
        None for channels that are not signals."""
        return tuple(
            None if t != SIGNAL else ("counts" if scale == 1.0 else "uV")
            for t, scale in zip(self.channel_types, self.scales)
        )
