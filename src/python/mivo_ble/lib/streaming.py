"""Samples in chunks: the library's batched delivery into numpy arrays with timestamps,
a chunk callable and the pull buffer."""

from __future__ import annotations

import threading
from typing import Any, Callable, Iterator, Optional, Tuple

import numpy

from mivo_ble.callables import check_callable
from mivo_ble.chunks import ChunkStream, default_frames_per_callback
from mivo_ble.exceptions import RuntimeShutDown
from mivo_ble.lib import runtime
from mivo_ble.lib.device import Device
from mivo_ble.lib.native import HAS_BATCHED, DataAvailableBatchedCallback, lib
from mivo_ble.lib.runtime import SHUT_DOWN_TEXT, Runtime, weak_trampoline
from mivo_ble.lib.status import check, check_optional_seconds, check_range, check_seconds
from mivo_ble.ring import RowBuffer

# Set when the interpreter starts to exit: readers in chunks() end, so that a reader on a
# thread of its own does not keep the process alive while the amplifier is never closed.
_exiting = threading.Event()


def _interpreter_exiting() -> None:
    _exiting.set()
    for instance in list(runtime.live_instances):
        instance._wake_readers()


# Runs before the interpreter waits for its other threads (unlike atexit handlers). Where
# the hook is missing, readers end at their next time-out once the main thread is gone.
_register_atexit = getattr(threading, "_register_atexit", None)
if _register_atexit is not None:
    _register_atexit(_interpreter_exiting)


def _exit_started() -> bool:
    return _exiting.is_set() or not threading.main_thread().is_alive()


class Streaming(Device):
    """Chunk delivery, the ring buffer and the pull API of an open amplifier."""

    def __init__(self, serial: str) -> None:
        self._chunks: Optional[ChunkStream] = None
        self._chunk_callback_internal: Any = None
        self._frames_per_callback: Optional[int] = None
        super().__init__(serial)

    def _opened(self) -> None:
        self._chunks = ChunkStream(self._layout)

    def _layout_changed(self) -> None:
        if self._chunks is not None:
            self._chunks.set_layout(self._layout)

    def _link_lost(self) -> None:
        if self._chunks is not None:
            # Rows after the reconnect start a new time line.
            self._chunks.restart_clock()

    def _thunks(self) -> Tuple[Any, ...]:
        return super()._thunks() + (self._chunk_callback_internal,)

    def _released(self) -> None:
        buffer = self._chunks.buffer if self._chunks is not None else None
        if buffer is not None:
            buffer.close()  # wakes readers; what is buffered stays readable
        self._chunk_callback_internal = None

    def _wake_readers(self) -> None:
        buffer = self._chunks.buffer if self._chunks is not None else None
        if buffer is not None:
            buffer.wake()

    def _stream(self) -> ChunkStream:
        if self._chunks is None:
            raise ValueError("The amplifier is closed.")
        return self._chunks

    # --------------------------------------------------------------- delivery

    @property
    def frames_per_callback(self) -> int:
        """Rows per chunk the library collects before calling back (1 to 64).

        Unset, chunks carry about 20 ms of rows (see mivo_ble.chunks)."""
        if self._frames_per_callback is not None:
            return self._frames_per_callback
        return default_frames_per_callback(self._layout.sampling_rate)

    @frames_per_callback.setter
    def frames_per_callback(self, frames: int) -> None:
        self._require_open()
        frames = check_range("frames_per_callback", frames, 1, 64)
        if not HAS_BATCHED:
            raise RuntimeError("this native mivoble has no batched sample delivery")
        check(lib.MIVOBLE_SetFramesPerCallback(self._device_handle, frames))
        self._frames_per_callback = frames

    def start(self) -> None:
        """Starts the delivery set up last: per row (set_data_callback) or in chunks
        (set_chunk_callback, start_buffer)."""
        self._require_open()
        if self._delivery == "chunks":
            self._start_chunks()
        else:
            super().start()

    def _start_chunks(self) -> None:
        """Switches the library to batched delivery into this wrapper's chunk stream."""
        if self._owns_stream("chunks"):
            return
        if not HAS_BATCHED:
            raise RuntimeError("this native mivoble has no batched sample delivery")
        if self._chunk_callback_internal is None:
            self._chunk_callback_internal = DataAvailableBatchedCallback(
                weak_trampoline(self, "_chunk_callback_wrapper")
            )
        handle, thunk = self._device_handle, self._chunk_callback_internal
        check(lib.MIVOBLE_SetFramesPerCallback(handle, self.frames_per_callback))
        self._stream().restart_clock()
        self._register_delivery(lambda: lib.MIVOBLE_RegisterDataAvailableBatchedCallback(handle, thunk), "chunks")

    def _chunk_callback_wrapper(self, hDevice: int, rows: Any, row_count: int, width: int) -> None:
        if width != self._layout.width and width >= 3 and row_count:
            # The library changed the layout by itself (an amplifier that restarted).
            self._follow_library_layout(width)
        self._stream().deliver(rows, row_count, width)

    def set_chunk_callback(self, callback: Optional[Callable[[numpy.ndarray, numpy.ndarray], None]]) -> None:
        """Delivers samples as chunks: callback(data, timestamps) with a float32 array of
        rows x row width and a float64 array of host times (time.monotonic() scale).

        Starts streaming; replaces per-row delivery (start()). None stops calling it."""
        check_callable("The chunk callable", callback, "callback(data, timestamps)",
                       numpy.empty((0, 0), dtype=numpy.float32), numpy.empty(0))
        self._require_open()
        stream = self._stream()
        previous, stream.callback = stream.callback, callback
        if callback is not None:
            try:
                self._start_chunks()
            except BaseException:
                stream.callback = previous
                raise
            self._delivery = "chunks"
        stream.failures.forget("chunk")

    # ---------------------------------------------------------------- pulling

    def start_buffer(self, seconds: float = 10.0) -> None:
        """Starts streaming into a ring buffer holding the newest `seconds` of rows, for
        read(), available() and chunks(). Rows the reader leaves behind once it is full
        are overwritten and counted in `overruns`. Called again, it changes the length
        and keeps the rows buffered so far."""
        seconds = check_seconds("seconds", seconds, zero=False)
        self._require_open()
        stream = self._stream()
        previous = stream.buffer_seconds if stream.buffer is not None else None
        stream.start_buffer(seconds)
        try:
            self._start_chunks()
        except BaseException:
            if previous is None:
                stream.drop_buffer()
            else:
                stream.start_buffer(previous)
            raise
        self._delivery = "chunks"

    def _buffer(self) -> RowBuffer:
        buffer = self._chunks.buffer if self._chunks is not None else None
        if buffer is None:
            if self._closed:
                raise ValueError("The amplifier is closed.")
            raise ValueError("No buffer started: call start_buffer() first.")
        return buffer

    def _closed_error(self) -> Exception:
        if Runtime._shut_down:
            return RuntimeShutDown(SHUT_DOWN_TEXT)
        return ValueError("The amplifier is closed.")

    def read(self, max_rows: Optional[int] = None, timeout: Optional[float] = None
             ) -> Tuple[numpy.ndarray, numpy.ndarray]:
        """Takes the buffered rows, oldest first: (timestamps, data) with data a float32
        array of rows x row width. Waits up to `timeout` seconds for at least one row
        (None or 0: does not wait). After close() or shutdown(), what was buffered is
        still returned; then it raises."""
        if max_rows is not None:
            max_rows = check_range("max_rows", max_rows, 1, 1 << 62)
        timeout = check_optional_seconds("timeout", timeout)
        buffer = self._buffer()
        if self._closed and buffer.available() == 0:
            raise self._closed_error()
        return buffer.read(max_rows, timeout)

    def available(self) -> int:
        """Rows waiting in the buffer (also after close() or shutdown(), until read)."""
        return self._buffer().available()

    def chunks(self, max_rows: Optional[int] = None, timeout: float = 1.0
               ) -> Iterator[Tuple[numpy.ndarray, numpy.ndarray]]:
        """Iterates over (timestamps, data) chunks from the buffer, waiting up to `timeout`
        seconds for each, until the amplifier is closed (or the runtime shut down) and
        every buffered row has been taken, or the interpreter exits."""
        if max_rows is not None:
            max_rows = check_range("max_rows", max_rows, 1, 1 << 62)
        wait = check_seconds("timeout", timeout, zero=True)
        buffer = self._buffer()
        while not _exit_started():
            timestamps, data = buffer.read(max_rows, wait, stop=_exiting)
            if len(data):
                yield timestamps, data
            elif self._closed:
                return

    @property
    def missing_rows(self) -> int:
        """Rows missing from the stream that no row stands in for, found by the clock of the
        chunk delivery: counter jumps the library did not fill in, and, on amplifiers without
        a counter channel, arrivals that stay late by whole rows. Their time stays free in the
        timestamps, which to_mne marks as an outage."""
        return self._chunks.missing if self._chunks is not None else 0

    @property
    def overruns(self) -> int:
        """Rows overwritten in the buffer before they were read."""
        buffer = self._chunks.buffer if self._chunks is not None else None
        return buffer.overruns if buffer is not None else 0
