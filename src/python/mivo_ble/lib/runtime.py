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

# Closes requested from inside a device callback run on their own threads; the
# callback objects they retire are kept for the life of the process because the
# library thread may still be returning through one of them.
detached_closes: List[threading.Thread] = []
retired_callbacks: List[Any] = []
DETACHED_CLOSE_WAIT = 10.0

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
        if Runtime._shut_down:
            return
        Runtime._shut_down = True
        lib.MIVOBLE_Shutdown()
