"""What is process-wide in the binding: the shut-down state and the callback bookkeeping.

The library calls into Python through ctypes callback objects (thunks). A thunk must stay
referenced for as long as the library may call it, and a callback must not keep the
wrapper it serves alive; the helpers here do both.
"""

from __future__ import annotations

import threading
import weakref
from typing import Any, Callable, List

from mivo_ble.exceptions import RuntimeShutDown
from mivo_ble.lib.native import lib
from mivo_ble.lib.status import check

SHUT_DOWN_TEXT = (
    "The BLE runtime was shut down in this process and cannot be started again; "
    "scanning or opening a device needs a new process."
)

# Open wrappers, so that the interpreter's exit can unregister their callbacks
# before the library's threads could call into a finalising interpreter.
live_instances: "weakref.WeakSet[Any]" = weakref.WeakSet()

# Closes requested from inside a device callback run on their own threads.
detached_closes: List[threading.Thread] = []
DETACHED_CLOSE_WAIT = 10.0

# Callback objects the library may still call, or be returning through: a close from
# inside a callback, a close whose unregistration failed, a shutdown. Kept for the life
# of the process; each is a few hundred bytes.
retired_callbacks: List[Any] = []


def retire(*thunks: Any) -> None:
    retired_callbacks.extend(thunk for thunk in thunks if thunk is not None)

# Depth of this package's device callbacks on the current thread (library threads only).
_callback_state = threading.local()


def weak_trampoline(instance: Any, method_name: str) -> Callable[..., None]:
    """A callable that forwards to instance.method_name without keeping instance alive.

    Holding the bound method in the ctypes object would make a reference cycle,
    so a wrapper dropped without close() would stay open (and keep receiving
    samples) until the cycle collector happens to run.
    """
    ref = weakref.ref(instance)

    def forward(*args: Any) -> None:
        target = ref()
        if target is None:
            return
        _callback_state.depth = getattr(_callback_state, "depth", 0) + 1
        try:
            getattr(target, method_name)(*args)
        finally:
            # Dropped while the depth still counts this call, so that a wrapper
            # whose last reference goes here is finalised knowing where it is.
            target = None
            _callback_state.depth -= 1

    return forward


def in_device_callback() -> bool:
    return getattr(_callback_state, "depth", 0) > 0


class Runtime:
    """Process-wide members of the wrapper: status check, shut-down state, API version."""

    _shut_down = False

    @staticmethod
    def __handle_error__(errorCode: int) -> None:
        check(errorCode)

    @staticmethod
    def _check_runtime() -> None:
        if Runtime._shut_down:
            raise RuntimeShutDown(SHUT_DOWN_TEXT)

    @staticmethod
    def get_api_version() -> str:
        version = lib.MIVOBLE_GetApiVersion()
        if version is None:
            return ""
        if isinstance(version, bytes):
            return version.decode("utf-8")
        return str(version)

    @staticmethod
    def shutdown() -> None:
        """Closes every amplifier and ends the library's Bluetooth runtime, for good.

        Raises MivoBLEError, changing nothing, when the library refuses (from inside a
        data callback)."""
        if Runtime._shut_down:
            return
        check(lib.MIVOBLE_Shutdown())
        Runtime._shut_down = True
        for instance in list(live_instances):
            instance._runtime_shut_down()

    def _runtime_shut_down(self) -> None:
        """Hook: the library closed this wrapper's device in a shutdown."""
