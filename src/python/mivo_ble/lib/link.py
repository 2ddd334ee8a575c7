"""Wrappers that share one open amplifier.

The library hands out one handle per amplifier: opening an amplifier that is already open
returns its handle again. Wrappers on one handle share a :class:`Link`, which keeps the device
open until the last of them is closed, sends link events to all of them, and knows which of
them the library delivers samples to. Members are held weakly: a link never keeps a wrapper
alive. No lock here is held while the library is called.
"""

from __future__ import annotations

import ctypes
import threading
import weakref
from typing import Any, Callable, Dict, Optional, Tuple

from mivo_ble.lib import runtime
from mivo_ble.lib.native import (
    MIVOBLE_HANDLE,
    NO_CONNECTION_STATE_CALLBACK,
    NO_DATA_CALLBACK,
    lib,
)
from mivo_ble.lib.runtime import retire
from mivo_ble.lib.status import check


class Link:
    """The library's handle of one open amplifier and the wrappers that share it."""

    def __init__(self, handle: int) -> None:
        self.handle = handle
        # Weak references, replaced as a whole (never changed in place), so that the
        # library's threads read them without a lock.
        self.members: Tuple["weakref.ref[Any]", ...] = ()
        self.stream_owner: Optional["weakref.ref[Any]"] = None
        self.state_thunk: Any = None

    def owner(self) -> Any:
        ref = self.stream_owner
        return ref() if ref is not None else None

    def _on_state(self, handle: int, state: int) -> None:
        for ref in self.members:
            member = ref()
            if member is not None:
                member._conn_callback_wrapper(handle, state)


# Open links by handle, and the handles whose last wrapper is closing them right now.
_links: Dict[int, Link] = {}
_closing: Dict[int, threading.Event] = {}
links_lock = threading.Lock()


def open_shared(serial: str, member: Any) -> Tuple[Link, bool]:
    """Opens the amplifier (or finds it open) and adds `member` to its link; True when new."""
    while True:
        handle = MIVOBLE_HANDLE(0)
        check(lib.MIVOBLE_OpenDevice(serial.encode("utf-8"), ctypes.byref(handle)))
        with links_lock:
            closing = _closing.get(handle.value)
            if closing is None:
                link = _links.get(handle.value)
                new = link is None
                if link is None:
                    link = _links[handle.value] = Link(handle.value)
                link.members += (weakref.ref(member),)
                return link, new
        # The last wrapper of this handle is closing it: open anew once it is closed.
        closing.wait()


class Departure:
    """What the library must be told when a wrapper leaves its link, decided under the lock."""

    def __init__(self, link: Link, member: Any) -> None:
        with links_lock:
            self.owner = link.owner() is member
            if self.owner:
                link.stream_owner = None
            link.members = tuple(ref for ref in link.members if ref() not in (member, None))
            self.last = not link.members
            self.closing: Optional[threading.Event] = None
            if self.last:
                _links.pop(link.handle, None)
                self.closing = _closing[link.handle] = threading.Event()
        self.link = link

    def run(self) -> bool:
        """Makes the library calls; True when each of them succeeded."""
        handle = MIVOBLE_HANDLE(self.link.handle)
        ok = True
        try:
            if self.owner:
                ok = succeeds(lambda: lib.MIVOBLE_RegisterDataAvailableCallback(handle, NO_DATA_CALLBACK)) and ok
            if self.last:
                if self.link.state_thunk is not None:
                    ok = succeeds(lambda: lib.MIVOBLE_RegisterConnectionStateCallback(
                        handle, NO_CONNECTION_STATE_CALLBACK)) and ok
                ok = succeeds(lambda: lib.MIVOBLE_CloseDevice(ctypes.byref(handle))) and ok
        finally:
            self._done()
        return ok

    def _done(self) -> None:
        if self.closing is not None:
            with links_lock:
                _closing.pop(self.link.handle, None)
            self.closing.set()

    def run_detached(self, thunks: Tuple[Any, ...]) -> None:
        # The thunks are retired: the library thread that asked for the close is still
        # running inside one of them.
        retire(*thunks, self.link.state_thunk if self.last else None)
        closer = threading.Thread(target=self.run, name="mivo_ble-close", daemon=True)
        try:
            closer.start()
        except RuntimeError:  # the interpreter is exiting: the library's exit closes the device
            self._done()
            return
        runtime.detached_closes.append(closer)


def succeeds(call: Callable[[], int]) -> bool:
    try:
        return call() == 0
    except Exception:
        return False
