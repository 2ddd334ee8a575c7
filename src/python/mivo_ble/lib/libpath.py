"""Locates the native mivoble library for :mod:`mivo_ble.lib.mivo_ble_wrapper`.

Search order, first hit wins:

1. the environment variable ``MIVOBLE_LIBRARY`` (a file path; an explicit
   setting that names no file is an error, not a reason to look elsewhere);
2. next to this module: ``mivo_ble/lib/libmivoble.so*`` (what ``pip install``
   places there);
3. the CMake build tree when the package runs from the source tree:
   ``build/release/libmivoble.so``, ``build/debug/libmivoble.so``, then the
   other build folders (sanitizer builds last, they need a preloaded runtime);
4. the system's library path (``ctypes.util.find_library("mivoble")``).
"""

import ctypes.util
import os
from pathlib import Path

from mivo_ble.exceptions import LibraryNotFound

ENV_VAR = "MIVOBLE_LIBRARY"
LIBRARY_NAME = "libmivoble.so"

_PREFERRED_BUILDS = ("release", "debug")
# Sanitizer and fuzzing builds cannot be loaded without their runtime preloaded.
_LAST_BUILD_TAGS = ("asan", "tsan", "msan", "fuzz")


def _is_last_build(name):
    return any(tag in name for tag in _LAST_BUILD_TAGS)


def _bundled_candidates(package_dir):
    """Library files shipped inside the package, unversioned name first."""
    exact = package_dir / LIBRARY_NAME
    versioned = sorted(p for p in package_dir.glob(LIBRARY_NAME + ".*") if p.is_file())
    return ([exact] if exact.is_file() else []) + versioned


def _source_root(package_dir):
    """The repository root when the package runs from the source tree, else None."""
    root = package_dir.parents[3] if len(package_dir.parents) > 3 else None
    if root is not None and (root / "include" / "mivoble" / "mivoble.h").is_file():
        return root
    return None


def _build_tree_candidates(root):
    build = root / "build"
    ordered = [build / name for name in _PREFERRED_BUILDS]
    if build.is_dir():
        others = sorted(p for p in build.iterdir() if p.is_dir() and p.name not in _PREFERRED_BUILDS)
        ordered += [p for p in others if not _is_last_build(p.name)]
        ordered += [p for p in others if _is_last_build(p.name)]
    return [folder / LIBRARY_NAME for folder in ordered]


def find_library(environ=None, package_dir=None, system_lookup=None):
    """Return the path (or, for a system library, the soname) to load.

    Raises LibraryNotFound naming every place that was tried.
    """
    environ = os.environ if environ is None else environ
    package_dir = Path(__file__).resolve().parent if package_dir is None else Path(package_dir)
    system_lookup = ctypes.util.find_library if system_lookup is None else system_lookup

    override = environ.get(ENV_VAR)
    if override:
        if Path(override).is_file():
            return str(Path(override).resolve())
        raise LibraryNotFound(f"{ENV_VAR} is set to '{override}', but no such file exists.")

    tried = [f"{ENV_VAR} (not set)"]

    bundled = _bundled_candidates(package_dir)
    if bundled:
        return str(bundled[0])
    tried.append(str(package_dir / (LIBRARY_NAME + "*")))

    root = _source_root(package_dir)
    if root is not None:
        for candidate in _build_tree_candidates(root):
            if candidate.is_file():
                return str(candidate)
            tried.append(str(candidate))
    else:
        tried.append("the build tree (the package does not run from the source tree)")

    system = system_lookup("mivoble")
    if system:
        return system
    tried.append("the system library path (ctypes.util.find_library('mivoble'))")

    raise LibraryNotFound(
        "Could not find the mivoble library. Tried: "
        + "; ".join(tried)
        + f". Build it (cmake --preset release && cmake --build --preset release) "
        f"or set {ENV_VAR} to the path of libmivoble.so."
    )


LIBPATH = find_library()
