"""Samples in chunks: the library's batched delivery into numpy arrays with timestamps,
a chunk callable and the pull buffer."""

from __future__ import annotations

from typing import Any, Callable, Iterator, Optional, Tuple

import numpy

from mivo_ble.chunks import ChunkStream, default_frames_per_callback
from mivo_ble.lib.device import Device
from mivo_ble.lib.native import HAS_BATCHED, DataAvailableBatchedCallback, lib
from mivo_ble.lib.runtime import Runtime, weak_trampoline
from mivo_ble.lib.status import check_range
from mivo_ble.ring import RowRing


class Streaming(Device):
    """Chunk delivery, the ring buffer and the pull API of an open amplifier."""

    def __init__(self, serial: str) -> None:
        self._chunks: Optional[ChunkStream] = None
        self._chunk_callback_internal: Any = None
        self._chunks_active = False
        self._frames_per_callback: Optional[int] = None
        super().__init__(serial)

    def _opened(self) -> None:
        self._chunks = ChunkStream(self.sampling_rate)

    def _rows_started(self) -> None:
        # The library delivers rows one way at a time: per row now, not in chunks.
        self._chunks_active = False

    def _delivery_stopped(self) -> None:
        self._chunks_active = False

    def _link_lost(self) -> None:
        if self._chunks is not None:
            # Rows after the reconnect start a new time line.
            self._chunks.restart_clock()

    def _released_thunks(self) -> Tuple[Any, ...]:
        return (self._chunk_callback_internal,)

    def _released(self) -> None:
        chunks = getattr(self, "_chunks", None)
        if chunks is not None and chunks.ring is not None:
            chunks.ring.close()  # wakes readers; what is buffered stays readable
        self._chunks_active = False
        self._chunk_callback_internal = None

    @property
    def frames_per_callback(self) -> int:
        """Rows per chunk the library collects before calling back (1 to 64).

        Unset, chunks carry about 20 ms of rows (see mivo_ble.chunks)."""
        if self._frames_per_callback is not None:
            return self._frames_per_callback
        return default_frames_per_callback(self.sampling_rate)

    @frames_per_callback.setter
    def frames_per_callback(self, frames: int) -> None:
        self._require_open()
        frames = check_range("frames_per_callback", frames, 1, 64)
        if not HAS_BATCHED:
            raise RuntimeError("this native mivoble has no batched sample delivery")
        Runtime.__handle_error__(lib.MIVOBLE_SetFramesPerCallback(self._device_handle, frames))
        self._frames_per_callback = frames

    def _stream(self) -> ChunkStream:
        if self._chunks is None:
            raise ValueError("The amplifier is closed.")
        return self._chunks

    def _start_chunks(self) -> None:
        """Switches the library to batched delivery into this wrapper's chunk stream."""
        if self._chunks_active:
            return
        if not HAS_BATCHED:
            raise RuntimeError("this native mivoble has no batched sample delivery")
        if self._chunk_callback_internal is None:
            self._chunk_callback_internal = DataAvailableBatchedCallback(
                weak_trampoline(self, "_chunk_callback_wrapper")
            )
        Runtime.__handle_error__(lib.MIVOBLE_SetFramesPerCallback(self._device_handle, self.frames_per_callback))
        self._stream().restart_clock()
        Runtime.__handle_error__(
            lib.MIVOBLE_RegisterDataAvailableBatchedCallback(self._device_handle, self._chunk_callback_internal)
        )
        self._chunks_active = True

    def _chunk_callback_wrapper(self, hDevice: int, rows: Any, row_count: int, width: int) -> None:
        self._stream().deliver(rows, row_count, width)

    def set_chunk_callback(self, callback: Optional[Callable[[numpy.ndarray, numpy.ndarray], None]]) -> None:
        """Delivers samples as chunks: callback(data, timestamps) with a float32 array of
        rows x row width and a float64 array of host times (time.monotonic() scale).

        Starts streaming; replaces per-row delivery (start()). None stops calling it."""
        if callback is not None and not callable(callback):
            raise TypeError("callback must be callable or None.")
        self._require_open()
        self._stream().callback = callback
        if callback is not None:
            self._start_chunks()

    def start_buffer(self, seconds: float = 10.0) -> None:
        """Starts streaming into a ring buffer holding the newest `seconds` of rows, for
        read(), available() and chunks(). Rows the reader leaves behind once it is full
        are overwritten and counted in `overruns`."""
        if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
            raise TypeError(f"seconds must be a number, not {type(seconds).__name__}.")
        if not (seconds > 0 and seconds < float("inf")):
            raise ValueError("seconds must be a positive, finite number.")
        self._require_open()
        self._stream().start_buffer(float(seconds), int(self.no_of_acquired_channels))
        self._start_chunks()

    def _ring(self) -> RowRing:
        ring = self._chunks.ring if self._chunks is not None else None
        if ring is None:
            if self._closed:
                raise ValueError("The amplifier is closed.")
            raise ValueError("No buffer started: call start_buffer() first.")
        return ring

    def read(self, max_rows: Optional[int] = None, timeout: Optional[float] = None
             ) -> Tuple[numpy.ndarray, numpy.ndarray]:
        """Takes the buffered rows, oldest first: (timestamps, data) with data a float32
        array of rows x row width. Waits up to `timeout` seconds for at least one row
        (None or 0: does not wait). After close(), what was buffered is still returned;
        then it raises."""
        if max_rows is not None:
            max_rows = check_range("max_rows", max_rows, 1, 1 << 62)
        if timeout is not None:
            if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
                raise TypeError(f"timeout must be a number or None, not {type(timeout).__name__}.")
            if timeout < 0:
                raise ValueError("timeout must not be negative.")
        ring = self._ring()
        if self._closed and ring.available() == 0:
            raise ValueError("The amplifier is closed.")
        if not self._closed:
            Runtime._check_runtime()
        return ring.read(max_rows, timeout)

    def available(self) -> int:
        """Rows waiting in the buffer."""
        return self._ring().available()

    def chunks(self, max_rows: Optional[int] = None, timeout: float = 1.0
               ) -> Iterator[Tuple[numpy.ndarray, numpy.ndarray]]:
        """Iterates over (timestamps, data) chunks from the buffer until the amplifier is
        closed (or the runtime shut down); waits up to `timeout` seconds for each."""
        while not self._closed and not Runtime._shut_down:
            timestamps, data = self.read(max_rows=max_rows, timeout=timeout)
            if len(data):
                yield timestamps, data

    @property
    def overruns(self) -> int:
        """Rows overwritten in the buffer before they were read."""
        return self._chunks.overruns if self._chunks is not None else 0
