"""Row buffer, counters reaching the clock and the time line of rows, without the library."""

import ctypes

import numpy
import pytest

from mivo_ble.chunks import ChunkStream
from mivo_ble.columns import gaps, row_positions
from mivo_ble.layout import Layout
from mivo_ble.ring import RowBuffer


def _rows(first, count, width):
    values = numpy.arange(first, first + count, dtype=numpy.float32)
    return values.astype(numpy.float64), numpy.repeat(values[:, None], width, axis=1)


# Each step: ("write", first value, count, width) or ("resize", capacity, width), on a
# buffer of 5 rows of width 2; rows of a new width start a ring of 5.
BUFFER_CASES = {
    "overrun keeps the newest": ([("write", 0, 7, 2)], [(2, 2, 6)], 2),
    "longer ring keeps every row": ([("write", 0, 4, 2), ("resize", 10, 2), ("write", 4, 4, 2)], [(2, 0, 7)], 0),
    "shorter ring keeps the newest": ([("write", 0, 4, 2), ("resize", 2, 2)], [(2, 2, 3)], 2),
    "new width waits behind the old": ([("write", 0, 3, 2), ("write", 3, 2, 4)], [(2, 0, 2), (4, 3, 4)], 0),
    "resize to a new width too": ([("write", 0, 3, 2), ("resize", 4, 3), ("write", 3, 1, 3)],
                                  [(2, 0, 2), (3, 3, 3)], 0),
}


@pytest.mark.parametrize("steps, reads, overruns", BUFFER_CASES.values(), ids=BUFFER_CASES.keys())
def test_row_buffer_keeps_unread_rows_across_resizes_and_widths(steps, reads, overruns):
    buffer = RowBuffer(5, 2)
    for step in steps:
        if step[0] == "write":
            buffer.write(*_rows(*step[1:]), capacity=5)
        else:
            buffer.resize(*step[1:])
    got = []
    while buffer.available():
        times, rows = buffer.read()
        assert numpy.array_equal(times, rows[:, 0])
        got.append((rows.shape[1], int(rows[0, 0]), int(rows[-1, 0])))
    assert got == reads and buffer.overruns == overruns


RATE = 250.0
TIME_LINE_CASES = {
    "steady": (numpy.arange(1000) / RATE, []),
    "one outage": (numpy.r_[numpy.arange(100), numpy.arange(118, 300)] / RATE, [(100, 18)]),
    "two outages": (numpy.r_[numpy.arange(10), numpy.arange(11, 50), numpy.arange(1050, 1100)] / RATE,
                    [(10, 1), (50, 1000)]),
    # 400 ppm between the clocks: 40 ms in 25 000 rows, no outage for it.
    "drift": (numpy.arange(25000) * (1.0004 / RATE), []),
    "drift and outage": (numpy.r_[numpy.arange(20000), numpy.arange(20500, 25000)] * (0.9996 / RATE),
                         [(20000, 500)]),
}


@pytest.mark.parametrize("times, expected", TIME_LINE_CASES.values(), ids=TIME_LINE_CASES.keys())
def test_rows_sit_at_their_time_and_outages_are_found(times, expected):
    jitter = numpy.random.default_rng(1).uniform(-0.02, 0.02, len(times)) / RATE  # slewing of the clock
    positions = row_positions(times + 1000.0 + jitter, RATE)
    assert gaps(positions) == expected
    assert positions[-1] + 1 == len(times) + sum(count for _, count in expected)


COUNTER_CASES = {
    # (channel types, counter values of two chunks, rows missing)
    "counter continues": ((1, 5), ([1, 2, 3], [4, 5, 6]), 0),
    "counter jumps": ((1, 5), ([1, 2, 3], [1004, 1005, 1006]), 1000),
    "counter wraps": ((1, 5), ([2 ** 24 - 2, 2 ** 24 - 1, 0], [1, 2, 3]), 0),
    "no counter column": ((1, 1), ([1, 2, 3], [1004, 1005, 1006]), 0),
}


@pytest.mark.parametrize("types, chunks, missing", COUNTER_CASES.values(), ids=COUNTER_CASES.keys())
def test_chunks_reach_the_clock_with_their_counter_column(types, chunks, missing):
    stream = ChunkStream(Layout.described(types, 250))
    for counters in chunks:
        rows = numpy.zeros((len(counters), len(types) + 2), dtype=numpy.float32)
        rows[:, 1] = counters
        stream.deliver(rows.ctypes.data_as(ctypes.POINTER(ctypes.c_float)), len(rows), rows.shape[1])
    assert stream.missing == missing
