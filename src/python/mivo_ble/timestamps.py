"""Host timestamps for sample rows, free of the jitter of Bluetooth delivery.

Rows arrive in chunks whose arrival times scatter by connection intervals and more,
but the amplifier samples at a steady rate. :class:`RowClock` numbers the rows since
the stream (re)started and follows the line ``time = origin + k * period``:

* the period is 1/rate for the first ``fit_after`` seconds, then the least-squares slope
  of (row number of each chunk's last row, arrival time), from running sums over the
  whole run, held within 2 % of 1/rate: it follows drift between the amplifier's clock
  and the host's;
* the origin follows the *earliest* arrivals, because delivery only ever delays a row:
  an arrival earlier than the line moves the line down to it at once, later ones pull
  it up only slowly (``rise``, 0.1 % of the difference per chunk), which keeps the line on the
  lower envelope of the arrivals even while the clocks drift apart;
* consecutive rows are one period apart; a change of the line is taken up by slewing,
  at most ``slew`` (1 %) of a period per row, so timestamps never jump or go back;
* after a link loss :meth:`restart` drops everything and the next chunk starts anew.

Times are on the ``time.monotonic()`` scale; add :func:`wall_clock_offset` for
``time.time()`` seconds. Work per chunk is constant, whatever its size or the run's length.
"""

from __future__ import annotations

import time

import numpy


def wall_clock_offset() -> float:
    """Seconds to add to a ``time.monotonic()`` timestamp to get ``time.time()`` seconds."""
    return time.time() - time.monotonic()


class RowClock:
    """Estimates the sampling time of every row from chunk arrival times and the rate."""

    def __init__(self, rate: float, max_drift: float = 0.02, rise: float = 0.001, slew: float = 0.01,
                 fit_after: float = 5.0):
        if not rate > 0:
            raise ValueError("rate must be positive.")
        self.nominal_period = 1.0 / float(rate)
        self._max_drift = max_drift
        self._rise = rise
        self._slew = slew
        self._fit_after_rows = fit_after * float(rate)
        self.restart()

    def restart(self) -> None:
        """Forget the history: the next chunk starts a new line (after a link loss)."""
        self.rows = 0  # rows stamped since the (re)start
        self.period = self.nominal_period
        self._origin: float | None = None
        self._next: float | None = None  # time of the next row, continuing the last chunk
        self._t0 = 0.0
        self._n = 0
        self._sk = self._st = self._skk = self._skt = 0.0

    def stamp(self, rows: int, arrival: float | None = None) -> numpy.ndarray:
        """Times of the next `rows` rows, given the arrival time of the chunk holding them."""
        if rows <= 0:
            return numpy.empty(0, dtype=numpy.float64)
        if arrival is None:
            arrival = time.monotonic()
        first = self.rows
        last = first + rows - 1
        self.rows += rows
        self._update(last, arrival)
        steps = numpy.arange(rows, dtype=numpy.float64)
        if self._next is None:
            times = self._origin + (first + steps) * self.period
        else:
            # Continue one period apart, slewing towards the line by at most `slew` per row.
            target_last = self._origin + last * self.period
            error = target_last - (self._next + (rows - 1) * self.period)
            limit = self._slew * self.period * rows
            correction = min(max(error, -limit), limit)
            times = self._next + steps * (self.period + correction / rows)
        self._next = float(times[-1]) + self.period
        return times

    def _update(self, k: int, t: float) -> None:
        if self._n == 0:
            self._t0 = t
        x, y = float(k), t - self._t0
        self._n += 1
        self._sk += x
        self._st += y
        self._skk += x * x
        self._skt += x * y
        span = self._n * self._skk - self._sk * self._sk
        if k >= self._fit_after_rows and span > 0:
            slope = (self._n * self._skt - self._sk * self._st) / span
            low = self.nominal_period * (1 - self._max_drift)
            high = self.nominal_period * (1 + self._max_drift)
            self.period = min(max(slope, low), high)
        residual = t - k * self.period
        if self._origin is None or residual < self._origin:
            self._origin = residual
        else:
            self._origin += (residual - self._origin) * self._rise
