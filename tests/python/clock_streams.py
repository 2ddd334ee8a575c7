"""Simulated chunk arrivals of a sample stream, for judging a row clock without a radio.

The amplifier samples row n at ``start + n * period`` on the host's clock (``period`` off the
nominal one by the drift). Rows leave in chunks of ``chunk_rows`` once the last row is sampled,
at the next connection event, and arrive after a constant minimum latency plus an exponential
delay, in order. Stalls hold every arrival inside them until they end; bursts hold arrivals and
release them at one instant; lost chunks never arrive; an outage loses every chunk sampled
during it and the receiver restarts its clock after it.
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
    seconds: float = 30.0
    drift_ppm: float = 0.0
    counters: bool = True
    counter_start: int = 1
    stalls: tuple = ()               # (start, length) in seconds
    stall_every: Optional[tuple] = None  # (every, length): a stall at every multiple of `every`
    bursts: Optional[tuple] = None   # (every, hold): arrivals held, then released at one instant
    lose_every: int = 0              # every Nth chunk never arrives
    outage: Optional[tuple] = None   # (start, length): link lost, counters start again from 1
    announce: bool = True            # the receiver is told of the outage (else only the counters show it)
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
    of lost chunks (not those of an outage)."""
    rng = numpy.random.default_rng(s.seed)
    period = (1.0 + s.drift_ppm * 1e-6) / s.rate
    start = 1000.0 + rng.uniform(0, 1)  # far from zero, as monotonic clocks are
    chunk_count = int(s.seconds * s.rate) // s.chunk_rows
    rows = numpy.arange(chunk_count * s.chunk_rows)
    sampled = start + rows * period
    ready = sampled[s.chunk_rows - 1::s.chunk_rows]
    phase = rng.uniform(0, CONNECTION_INTERVAL)
    sent = phase + numpy.ceil((ready - phase) / CONNECTION_INTERVAL) * CONNECTION_INTERVAL
    floor = MIN_LATENCY + float(numpy.min(sent - ready))
    arrival = sent + MIN_LATENCY + rng.exponential(JITTER_MEAN, chunk_count)
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

    kept = numpy.ones(chunk_count, dtype=bool)
    if s.lose_every:
        kept[s.lose_every - 1::s.lose_every] = False
    lost_rows = int(numpy.count_nonzero(~kept)) * s.chunk_rows
    restart_at = None
    if s.outage:
        lost = (ready >= start + s.outage[0]) & (ready < start + s.outage[0] + s.outage[1])
        kept &= ~lost
        restart_at = int(numpy.argmax(ready >= start + s.outage[0] + s.outage[1]))

    counters = None
    if s.counters:
        numbers = s.counter_start + rows
        if restart_at is not None:
            first = restart_at * s.chunk_rows
            numbers[first:] = 1 + numpy.arange(len(rows) - first)
        counters = (numbers % COUNTER_RANGE).astype(numpy.float32)
    chunks = []
    for j in numpy.nonzero(kept)[0]:
        block = slice(j * s.chunk_rows, (j + 1) * s.chunk_rows)
        chunks.append(Chunk(float(arrival[j]), sampled[block],
                            None if counters is None else counters[block],
                            restart=s.announce and j == restart_at, new_stream=j == restart_at))
    return chunks, floor, lost_rows


@dataclass
class Outcome:
    times: numpy.ndarray    # stamped times of every delivered row
    errors: numpy.ndarray   # stamped minus sampled minus the latency floor, seconds
    lost_rows: int          # rows of chunks that never arrived (outage not counted)
    missing: int            # rows the clock counted missing
    restarts: numpy.ndarray  # row indices where a new stream began


def replay(s: Stream, stamp_stream) -> Outcome:
    """Runs `stamp_stream(rate, chunks) -> (times, missing)` over the simulated stream."""
    chunks, floor, lost = simulate(s)
    times, missing = stamp_stream(s.rate, chunks)
    truth = numpy.concatenate([c.true_times for c in chunks])
    sizes = numpy.cumsum([0] + [len(c.true_times) for c in chunks])
    restarts = numpy.array([sizes[i] for i, c in enumerate(chunks) if c.new_stream], dtype=int)
    return Outcome(times, times - truth - floor, lost, missing, restarts)
