"""Host timestamps for sample rows, robust to delivery jitter, stalls, bursts and lost rows.

Model: the amplifier samples row ``n`` (its index since the stream started) at
``T(n) = a + b * n`` on the host's monotonic clock, and a chunk whose last row is ``n`` arrives
at ``t >= T(n) + d_min``: delivery only ever delays. The true line therefore lies on or below
every point ``(n, t)``, on their *lower envelope*; a stall or a burst lifts points above it and
cannot tilt it. :class:`RowClock` estimates that line:

* Points: per bucket of about ``bucket`` seconds of rows only the earliest arrival (smallest
  ``t - n * period``) is kept, for a window of about ``window`` seconds of buckets, so the work
  per chunk is bounded whatever the run's length.
* Line: once the kept points span ``fit_span`` seconds, the line that lies below all of them
  with the least summed vertical distance to them: the edge of their lower convex hull that
  spans their mean ``n``. Its slope is held within ``max_drift`` of 1/rate, a bound on the
  difference between the amplifier's and the host's clocks. Before that the slope is 1/rate
  (or the one learnt before a restart) and the offset that of the lowest point.
* Row index: with the counter column (``counters``: frame numbers, wrapping modulo
  ``counter_range``) ``n`` follows the counter; filled-in rows stand in for lost ones, a counter
  that jumps counts the rows between as ``missing``, and one that goes back means the stream
  started anew (:meth:`restart`). Without counters ``n`` counts the rows, and lost rows show as
  lateness against the line that does not go away. Chunks handed on together (a notification
  split into chunks, a backlog released at once) count as one delivery, judged by its last chunk.
  The jitter is the median of how far a delivery's lateness lies above the least lateness of the
  deliveries that follow it (at least six, over ``loss_confirm`` seconds): a loss raises every
  later lateness alike and so leaves it unchanged, and a stall's backlog counts as one delivery.
  When every delivery over a span is later than a tolerance, and that lateness is not draining
  away (a stall's backlog returns to the line), the rows the least of them lags by, less the
  jitter, are counted ``missing`` and ``n`` moves on by as many. A span needs both a number of
  deliveries and a time they cover (a gap without deliveries counts at most half of
  ``loss_confirm``): three deliveries over half of ``loss_confirm`` against twelve jitters, six
  over ``loss_confirm`` against six jitters, and every doubling after that, up to 48 deliveries
  over eight times ``loss_confirm``, lowers the tolerance by a factor of the square root of two
  (the jitter taken off the count shrinks by that factor at every doubling from the shortest
  span on). Large losses are thus counted at once, small
  ones after more evidence, and no lateness that stays below ``loss_tolerance`` periods is
  counted. Rows are stamped as if nothing was lost until a loss is counted. No row is sampled
  after it arrived, so no count may put a later arrival more than half a period before the line:
  a count is capped by the delivery that follows it, and when a later delivery comes in earlier
  than the line allows, as many of the rows last counted as it shows were never lost are taken
  back (the row numbers since those counts move back, the count drops).
* Output: one time per row, on the line; a change of the line is taken up gradually (at most
  ``slew`` of a period per row), so consecutive rows stay about one period apart and times
  never go back. No row is stamped after the arrival of its chunk: where the slewed times would
  be, the chunk's rows are drawn back towards it (closer than a period apart).

After a link loss :meth:`restart` re-estimates the offset from the next chunks and keeps the
slope learnt so far. Times are on the ``time.monotonic()`` scale (or whatever clock the
arrivals are given on); add :func:`wall_clock_offset` for ``time.time()`` seconds.
"""

from __future__ import annotations

import math
import time
from collections import deque
from typing import Optional

import numpy

COUNTER_RANGE = 1 << 24  # frame numbers in a float32 column are exact below this
LOSS_DELIVERIES = 6  # deliveries (with loss_confirm seconds) in one unit of evidence of a loss
LOSS_SPANS = (0.5, 1.0, 2.0, 4.0, 8.0)  # spans of evidence judged, in those units
JITTER_MARGIN = 6.0  # jitters of lateness, over one unit of evidence, that mean rows lost
JITTER_START = 0.005  # the jitter until deliveries show it: cautious, learnt within a second
JITTER_CAP = 0.050  # no jitter estimate beyond this, whatever a stall does to it
JITTER_STEPS = 16  # the jitter's median moves by at most 1/16 of itself per delivery
CELLS_PER_CONFIRM = 8  # deliveries are kept as the least lateness per 1/8 of loss_confirm
COUNTS_KEPT = 16  # the latest counts of missing rows, which later arrivals may still take back


def wall_clock_offset() -> float:
    """Seconds to add to a ``time.monotonic()`` timestamp to get ``time.time()`` seconds."""
    return time.time() - time.monotonic()


class RowClock:
    """Estimates the sampling time of every row from chunk arrival times and the rate."""

    def __init__(self, rate: float, max_drift: float = 500e-6, slew: float = 0.01, bucket: float = 0.5,
                 window: float = 60.0, fit_span: float = 4.0, loss_tolerance: float = 3.0,
                 loss_confirm: float = 0.1, counter_range: int = COUNTER_RANGE):
        if not rate > 0 or not math.isfinite(rate):
            raise ValueError("rate must be positive.")
        if not (0 <= max_drift < 0.5 and 0 < slew < 0.5 and bucket > 0 and window >= bucket
                and fit_span >= 0 and loss_tolerance > 0 and loss_confirm > 0 and counter_range >= 2):
            raise ValueError("RowClock tuning out of range.")
        self.nominal_period = 1.0 / float(rate)
        self._max_drift = float(max_drift)
        self._slew = float(slew)
        self._bucket_rows = max(1, int(round(bucket * rate)))
        self._window_buckets = max(1, int(round(window / bucket)))
        self._fit_rows = fit_span * float(rate)
        self._loss_tolerance = loss_tolerance * self.nominal_period
        self._loss_confirm = float(loss_confirm)
        self._counter_range = int(counter_range)
        self.period = self.nominal_period
        self.missing = 0  # rows found missing, over the clock's life
        self.taken_back = 0  # rows counted missing and later taken back, over the clock's life
        self._t_ref: Optional[float] = None  # arrival times are kept relative to this
        self._last_out: Optional[float] = None
        self.restart()

    def restart(self) -> None:
        """A new stream (after a link loss): row numbers and offset start anew, the slope stays."""
        self.rows = 0  # rows stamped since the (re)start
        self._points: deque = deque()  # [bucket, n, t - n * nominal_period], n increasing
        self._offset: Optional[float] = None  # line: t = offset + period * n (t relative to _t_ref)
        self._next_n = 0
        self._last_n: Optional[int] = None
        self._last_counter: Optional[int] = None
        # Loss detection without counters (see _judge): the delivery not yet judged [t, lateness],
        # the time of the last one judged, the time deliveries cover (gaps count at most half of
        # loss_confirm), the least lateness per cell of that time [start, deliveries, least],
        # the deliveries whose following ones are still being seen [seq, t, lateness] with their
        # running minimum [seq, lateness], and the jitter.
        self._pending: Optional[list] = None
        self._judged: Optional[float] = None
        self._covered = 0.0
        self._cells: deque = deque()
        self._following: deque = deque()
        self._following_least: deque = deque()
        self._sequence = 0
        self._jitter = JITTER_START
        self._jitter_updates = 0
        self._counts: deque = deque()  # [first row number after it, rows] per count, latest last

    def stamp(self, rows: int, arrival: Optional[float] = None,
              counters: Optional[numpy.ndarray] = None) -> numpy.ndarray:
        """Times of the next `rows` rows, given the arrival time of the chunk holding them and,
        when the layout has one, their counter column."""
        rows = int(rows)
        if rows <= 0:
            return numpy.empty(0, dtype=numpy.float64)
        if arrival is None:
            arrival = time.monotonic()
        if counters is not None:
            counters = numpy.asarray(counters, dtype=numpy.float64).ravel()
            if len(counters) != rows:
                raise ValueError("counters must have one value per row.")
            if not numpy.all(numpy.isfinite(counters)):
                counters = None
        if self._t_ref is None:
            self._t_ref = float(arrival)
        t = float(arrival) - self._t_ref
        if counters is None:
            n = self._next_n + numpy.arange(rows, dtype=numpy.int64)
            self._check_loss(n, t)
        else:
            whole = numpy.rint(numpy.clip(counters, -2.0 ** 62, 2.0 ** 62)).astype(numpy.int64)
            n, back = self._unwrap(whole % self._counter_range)
            if back is not None:
                # The counter went back: the rows from there on belong to a new stream.
                head = self.stamp(back, arrival, counters[:back]) if back else numpy.empty(0)
                self.restart()
                return numpy.concatenate([head, self.stamp(rows - back, arrival, counters[back:])])
        self._add_point(int(n[-1]), t)
        return self._output(n, float(arrival))

    def _unwrap(self, counters: numpy.ndarray) -> tuple[numpy.ndarray, Optional[int]]:
        """Row numbers from wrapping counters, and the index where a counter went back, if any."""
        previous = counters[0] - 1 if self._last_counter is None else self._last_counter
        steps = numpy.diff(counters, prepend=previous) % self._counter_range
        back = numpy.nonzero(steps > self._counter_range // 2)[0]
        if len(back):
            return counters, int(back[0])
        steps = numpy.maximum(steps, 1)  # a repeated counter still moves on by a row
        self.missing += int(numpy.sum(steps - 1))
        base = -1 if self._last_n is None else self._last_n
        self._last_counter = int(counters[-1])
        return base + numpy.cumsum(steps), None

    def _line(self, n):
        return self._offset + self.period * n

    def _check_loss(self, n: numpy.ndarray, t: float) -> None:
        """Counts rows missing from a stream without counters: lateness that does not go away."""
        if self._offset is None:
            return
        lateness = t - self._line(int(n[-1]))
        while self._counts and lateness < -0.5 * self.period:
            # Arrived before its row was sampled, by the rows counted: they were never lost.
            n -= self._take_back(int(math.ceil(-lateness / self.period)))
            lateness = t - self._line(int(n[-1]))
        period = self.period
        pending, self._pending = self._pending, [t, lateness]
        # A chunk right behind the previous one belongs to the same delivery, which its last
        # chunk represents.
        if pending is None or t - pending[0] <= min(0.5 * len(n) * period, 0.001):
            return
        # A delivery may come the instant its last row was sampled: a thousandth of a period
        # keeps rounding of the arrival time from taking a row off the cap.
        lost = self._judge(pending[0], pending[1], int(math.floor(lateness / period + 1e-3)))
        if lost > 0:
            self.missing += lost
            self._next_n += lost
            n += lost
            self._pending[1] -= lost * period
            self._counts.append([int(n[0]), lost])
            if len(self._counts) > COUNTS_KEPT:
                self._counts.popleft()

    def _take_back(self, rows: int) -> int:
        """Takes back up to `rows` of the rows counted missing last, moving the row numbers since
        those counts back by as many; returns the rows taken back."""
        taken = 0
        while self._counts and taken < rows:
            count = self._counts[-1]
            step = min(count[1], rows - taken)
            for point in self._points:
                if point[1] >= count[0]:
                    point[1] -= step
                    point[2] += step * self.nominal_period
            count[1] -= step
            if count[1] == 0:
                self._counts.pop()
            taken += step
        shift = taken * self.period
        for cell in self._cells:
            cell[2] += shift
        for item in self._following:
            item[2] += shift
        for item in self._following_least:
            item[1] += shift
        if self._pending is not None:
            self._pending[1] += shift
        self.missing -= taken
        self.taken_back += taken
        self._next_n -= taken
        if self._last_n is not None:
            self._last_n -= taken
        self._fit()
        return taken

    def _judge(self, t: float, lateness: float, cap: int) -> int:
        """Rows lost before the delivery that arrived at `t` this late, if its lateness and that
        of the deliveries before it show them, at most `cap`; 0 otherwise."""
        period, confirm = self.period, self._loss_confirm
        if self._judged is not None:
            self._covered += min(t - self._judged, confirm / 2)
        self._judged = t
        covered = self._covered
        self._learn_jitter(t, lateness)
        cells = self._cells
        if cells and covered - cells[-1][0] < confirm / CELLS_PER_CONFIRM:
            cells[-1][1] += 1
            cells[-1][2] = min(cells[-1][2], lateness)
        else:
            cells.append([covered, 1, lateness])
            if len(cells) > CELLS_PER_CONFIRM * (LOSS_SPANS[-1] + 1):
                cells.popleft()
        jitter = self._jitter
        floor = max(self._loss_tolerance, JITTER_MARGIN * jitter / math.sqrt(LOSS_SPANS[-1]))
        least, count, k = math.inf, 0, 0
        for i in range(len(cells) - 1, -1, -1):
            least = min(least, cells[i][2])
            if least <= floor:
                return 0
            count += cells[i][1]
            if min(count / LOSS_DELIVERIES, (covered - cells[i][0]) / confirm) < LOSS_SPANS[k]:
                continue
            span = LOSS_SPANS[k]
            k += 1
            tolerance = max(floor, JITTER_MARGIN * jitter / (math.sqrt(span) if span >= 1 else span))
            if least > tolerance:
                if self._draining(i, count, tolerance):
                    return 0  # a backlog draining away after a stall, not rows lost
                lost = min(int(math.floor((least - jitter / math.sqrt(span)) / period + 0.5)), cap)
                if lost > 0:
                    shift = lost * period
                    for cell in cells:
                        cell[2] -= shift
                    for item in self._following:
                        item[2] -= shift
                    for item in self._following_least:
                        item[1] -= shift
                return max(lost, 0)
            if k == len(LOSS_SPANS):
                return 0
        return 0

    def _draining(self, first: int, count: int, tolerance: float) -> bool:
        """Whether the older half of the deliveries from cell `first` on was later than the newer
        half by more than `tolerance`."""
        cells = self._cells
        newer = older = math.inf
        seen = 0
        for i in range(len(cells) - 1, first - 1, -1):
            if seen < count / 2:
                newer = min(newer, cells[i][2])
            else:
                older = min(older, cells[i][2])
            seen += cells[i][1]
        return older - newer > tolerance

    def _learn_jitter(self, t: float, lateness: float) -> None:
        """Median of how far each delivery's lateness lies above the least lateness of it and the
        deliveries that follow it, once they span loss_confirm seconds and six deliveries."""
        following, least = self._following, self._following_least
        sequence = self._sequence
        self._sequence += 1
        while least and least[-1][1] >= lateness:
            least.pop()
        least.append([sequence, lateness])
        following.append([sequence, t, lateness])
        while len(following) > LOSS_DELIVERIES + 1 and following[0][1] < t - self._loss_confirm:
            oldest, _, its_lateness = following.popleft()
            above = its_lateness - least[0][1]
            if least[0][0] == oldest:
                least.popleft()
            self._jitter_updates += 1
            step = max(self._jitter, self.period) / min(JITTER_STEPS, 2 + self._jitter_updates)
            self._jitter = min(JITTER_CAP, max(0.0, self._jitter + (step if above > self._jitter else -step)))

    def _add_point(self, n: int, t: float) -> None:
        y = t - n * self.nominal_period
        key = n // self._bucket_rows
        points = self._points
        self._next_n = n + 1
        if points and points[-1][0] == key:
            if y >= points[-1][2]:
                return
            points[-1][1:] = [n, y]
        else:
            points.append([key, n, y])
            while points[0][0] <= key - self._window_buckets:
                points.popleft()
        self._fit()

    def _fit(self) -> None:
        points = self._points
        nominal = self.nominal_period
        slope = self.period - nominal  # of y = t - n * nominal
        if points[-1][1] - points[0][1] >= self._fit_rows and len(points) >= 2:
            hull: list = []
            for _, n, y in points:
                while len(hull) >= 2 and ((hull[-1][0] - hull[-2][0]) * (y - hull[-2][1]) -
                                          (hull[-1][1] - hull[-2][1]) * (n - hull[-2][0])) <= 0:
                    hull.pop()
                hull.append((n, y))
            mean = sum(p[1] for p in points) / len(points)
            k = 0
            while k + 2 < len(hull) and hull[k + 1][0] <= mean:
                k += 1
            (n0, y0), (n1, y1) = hull[k], hull[k + 1]
            bound = self._max_drift * nominal
            slope = min(max((y1 - y0) / (n1 - n0), -bound), bound)
        self.period = nominal + slope
        self._offset = min(y - slope * n for _, n, y in points)

    def _output(self, n: numpy.ndarray, arrival: float) -> numpy.ndarray:
        """Times on the line, continuing the previous output and slewing towards the line, none
        after the arrival."""
        line = self._t_ref + self._line(n.astype(numpy.float64))
        if self._last_out is None:
            times = line
        else:
            first = int(n[0]) - 1 if self._last_n is None else self._last_n
            gap = self._last_out - (self._t_ref + self._line(first))
            if self._last_n is None:
                gap = max(gap, 0.0)  # a new stream does not go back before the old one's end
            steps = (n - first).astype(numpy.float64)
            times = line + math.copysign(1.0, gap) * numpy.maximum(
                abs(gap) - self._slew * self.nominal_period * steps, 0.0)
        excess = float(times[-1]) - arrival
        if excess > 0:
            # Drawn back in proportion to the rows to the last, which lands on the arrival; spread
            # evenly from the previous row to the arrival where that would not keep them in order.
            share = (n - n[0] + 1).astype(numpy.float64) / float(n[-1] - n[0] + 1)
            drawn = times - excess * share
            last = self._last_out
            if last is None or (drawn[0] > last and numpy.all(drawn[1:] > drawn[:-1])):
                times = numpy.minimum(drawn, arrival)
            else:
                times = numpy.maximum(last + (arrival - last) * share, last)
        self._last_out = float(times[-1])
        self._last_n = int(n[-1])
        self.rows += len(n)
        return times
