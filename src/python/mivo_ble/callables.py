"""User callables: checked when they are registered, their failures logged once.

The library calls back on its own threads, where an exception cannot reach the program.
A callable that cannot take the call it will get is refused at registration with a
``TypeError``; one that raises is logged (logger ``mivo_ble``) the first time with its
traceback, and its later failures are only counted, so a failing per-row callable does not
print a traceback for every row.
"""

from __future__ import annotations

import inspect
import logging
import threading
from typing import Any, Dict

log = logging.getLogger("mivo_ble")


def check_callable(what: str, callback: Any, call: str, *args: Any, **kwargs: Any) -> None:
    """Raises TypeError unless `callback` is None or can be called as `call` shows,
    with the arguments given here standing in for the real ones."""
    if callback is None:
        return
    if not callable(callback):
        raise TypeError(f"{what} must be callable or None, not {type(callback).__name__}.")
    try:
        signature = inspect.signature(callback)
    except (TypeError, ValueError):
        return  # some built-ins do not describe their parameters: taken on trust
    try:
        signature.bind(*args, **kwargs)
    except TypeError as error:
        name = getattr(callback, "__qualname__", type(callback).__name__)
        raise TypeError(f"{what} {name} cannot be called as {call}: {error}.") from None


class FailureLog:
    """Logs the first exception of each registered callable; counts every one."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._logged: Dict[str, bool] = {}
        self.failures: Dict[str, int] = {}

    def forget(self, what: str) -> None:
        """A new callable was registered for `what`: its first failure is logged again."""
        with self._lock:
            self._logged.pop(what, None)

    def report(self, what: str, error: BaseException) -> None:
        with self._lock:
            self.failures[what] = self.failures.get(what, 0) + 1
            first = not self._logged.get(what)
            self._logged[what] = True
        if first:
            log.error("the %s callable raised %s: %s; the stream goes on, and further failures of this "
                      "callable are counted, not logged", what, type(error).__name__, error, exc_info=error)
