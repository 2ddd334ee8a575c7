"""Simulated chunk arrivals of a sample stream, for judging a row clock without a radio.

The amplifier samples row n at ``start + n * period`` on the host's clock (``period`` off the
nominal one by the drift). Rows leave in notifications of ``notification_rows`` once the last row
is sampled, at the next connection event, and arrive after a constant minimum latency plus an
exponential delay, in order; a loaded host may add a further delay to each in a window. The receiver gets them in chunks of ``chunk_rows``, each when the
notification that completes it arrives. Stalls hold every arrival inside them until they end;
bursts hold arrivals and release them at one instant; lost notifications (every Nth, or a run of
them) never arrive; an outage loses every notification sent during it and the receiver restarts
its clock after it.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

import numpy

COUNTER_RANGE = 1 << 24  # frame numbers in a float32 column wrap here
MIN_LATENCY = 0.008
JITTER_MEAN = 0.010
CONNECTION_INTERVAL = 0.0075
BACKLOG_STEP = 20e-6  # time to hand on each chunk of a backlog after a stall


@dataclass(frozen=True)
class Stream:
    rate: float = 250.0
    chunk_rows: int = 5
    notification_rows: int = 0       # rows per notification; 0: one notification per chunk
    seconds: float = 30.0
    drift_ppm: float = 0.0
    counters: bool = True
    counter_start: int = 1
    stalls: tuple = ()               # (start, length) in seconds
    stall_every: Optional[tuple] = None  # (every, length): a stall at every multiple of `every`
    bursts: Optional[tuple] = None   # (every, hold): arrivals held, then released at one instant
    lose_every: int = 0              # every Nth notification never arrives
    lose_run: Optional[tuple] = None  # (start, rows): the notifications of these rows never arrive
    outage: Optional[tuple] = None   # (start, length): link lost, counters start again from 1
    announce: bool = True            # the receiver is told of the outage (else only the counters show it)
    jitter_mean: float = JITTER_MEAN
    host_delays: Optional[tuple] = None  # (start, length, least, most): each arrival then later by these
    seed: int = 1


@dataclass
class Chunk:
    arrival: float
    true_times: numpy.ndarray        # when its rows were sampled
    counters: Optional[numpy.ndarray]
    restart: bool = False            # the receiver is told that the link came back before this chunk
    new_stream: bool = False         # the first chunk after an outage


def _held(arrivals, windows):
    """Arrivals inside a (start, end) window move to its end, one backlog step apart."""
    out = arrivals.copy()
    for start, end, step in windows:
        inside = numpy.nonzero((out >= start) & (out < end))[0]
        out[inside] = end + step * numpy.arange(len(inside))
    return out


def simulate(s: Stream) -> tuple[list[Chunk], float, int]:
    """The chunks as a receiver sees them, the latency floor every row carries, and the rows
    of lost notifications (not those of an outage)."""
    rng = numpy.random.default_rng(s.seed)
    size = s.notification_rows or s.chunk_rows
    period = (1.0 + s.drift_ppm * 1e-6) / s.rate
    start = 1000.0 + rng.uniform(0, 1)  # far from zero, as monotonic clocks are
    count = int(s.seconds * s.rate) // size
    rows = numpy.arange(count * size)
    sampled = start + rows * period
    ready = sampled[size - 1::size]
    phase = rng.uniform(0, CONNECTION_INTERVAL)
    sent = phase + numpy.ceil((ready - phase) / CONNECTION_INTERVAL) * CONNECTION_INTERVAL
    arrival = sent + MIN_LATENCY + rng.exponential(s.jitter_mean, count)
    if s.host_delays:
        begin, length, least, most = s.host_delays
        loaded = (arrival >= start + begin) & (arrival < start + begin + length)
        arrival[loaded] += rng.uniform(least, most, numpy.count_nonzero(loaded))
    arrival = numpy.maximum.accumulate(arrival)  # in order

    windows = [(start + a, start + a + b, BACKLOG_STEP) for a, b in s.stalls]
    if s.stall_every:
        every, length = s.stall_every
        windows += [(start + k * every, start + k * every + length, BACKLOG_STEP)
                    for k in range(1, int(s.seconds / every) + 1)]
    if s.bursts:
        every, hold = s.bursts
        windows += [(start + k * every, start + k * every + hold, 0.0) for k in range(1, int(s.seconds / every) + 1)]
    arrival = numpy.maximum.accumulate(_held(arrival, sorted(windows)))

    kept = numpy.ones(count, dtype=bool)
    if s.lose_every:
        kept[s.lose_every - 1::s.lose_every] = False
    if s.lose_run:
        first = int(numpy.argmax(ready >= start + s.lose_run[0]))
        kept[first:first + -(-s.lose_run[1] // size)] = False
    lost_rows = int(numpy.count_nonzero(~kept)) * size
    restart_at = None
    if s.outage:
        lost = (ready >= start + s.outage[0]) & (ready < start + s.outage[0] + s.outage[1])
        kept &= ~lost
        restart_at = int(numpy.argmax(ready >= start + s.outage[0] + s.outage[1]))

    counters = None
    if s.counters:
        numbers = s.counter_start + rows
        if restart_at is not None:
            first = restart_at * size
            numbers[first:] = 1 + numpy.arange(len(rows) - first)
        counters = (numbers % COUNTER_RANGE).astype(numpy.float32)

    # The receiver's chunks: a chunk arrives with the notification that completes it; a restart
    # hands on what is pending first.
    chunks, pending, floor = [], [], numpy.inf

    def hand_on(j, upto, restart=False):
        nonlocal pending, floor
        block = numpy.array(pending[:upto])
        pending = pending[upto:]
        floor = min(floor, sent[j] - sampled[block[-1]])
        chunks.append(Chunk(float(arrival[j]), sampled[block], None if counters is None else counters[block],
                            restart=restart, new_stream=restart))

    previous = None
    for j in numpy.nonzero(kept)[0]:
        new_stream = j == restart_at
        if new_stream and pending:
            hand_on(previous, len(pending))
        pending += range(j * size, (j + 1) * size)
        while len(pending) >= s.chunk_rows:
            hand_on(j, s.chunk_rows, restart=new_stream)
            new_stream = False
        previous = j
    for c in chunks:
        c.restart = c.restart and s.announce
    return chunks, MIN_LATENCY + float(floor), lost_rows


@dataclass
class Outcome:
    times: numpy.ndarray    # stamped times of every delivered row
    errors: numpy.ndarray   # stamped minus sampled minus the latency floor, seconds
    lost_rows: int          # rows of chunks that never arrived (outage not counted)
    missing: int            # rows the clock counted missing
    restarts: numpy.ndarray  # row indices where a new stream began
    arrivals: numpy.ndarray  # arrival of every row's chunk
    taken_back: int = 0      # rows the clock counted missing and later took back


def replay(s: Stream, stamp_stream) -> Outcome:
    """Runs `stamp_stream(rate, chunks) -> (times, missing[, taken_back])` over the simulated stream."""
    chunks, floor, lost = simulate(s)
    times, missing, *taken_back = stamp_stream(s.rate, chunks)
    truth = numpy.concatenate([c.true_times for c in chunks])
    sizes = numpy.cumsum([0] + [len(c.true_times) for c in chunks])
    restarts = numpy.array([sizes[i] for i, c in enumerate(chunks) if c.new_stream], dtype=int)
    arrivals = numpy.concatenate([numpy.full(len(c.true_times), c.arrival) for c in chunks])
    return Outcome(times, times - truth - floor, lost, missing, restarts, arrivals, *taken_back)
