"""Builds the mivo_ble wheel with the native library inside the package.

The library is taken from MIVOBLE_LIBRARY, else from the repository's build
tree (build/release, build/debug, then the other build folders), and copied as
mivo_ble/lib/libmivoble.so.1 into the wheel, never into the source tree. Set
MIVOBLE_BUNDLE_LIBRARY=0 to build without it (the package then uses the
system's libmivoble).
"""

import os
import shutil
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution
from wheel.bdist_wheel import bdist_wheel

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent
BUNDLED_NAME = "libmivoble.so.1"
# Sanitizer and fuzzing builds need their runtime preloaded: never bundle one by accident.
SANITIZED_TAGS = ("asan", "tsan", "msan", "fuzz")


def _candidates():
    override = os.environ.get("MIVOBLE_LIBRARY")
    if override:
        # pip runs this script from a temporary folder: only absolute paths are reliable.
        return [Path(override)]
    build = REPO / "build"
    folders = [build / "release", build / "debug"]
    if build.is_dir():
        others = sorted(p for p in build.iterdir() if p.is_dir() and p not in folders)
        folders += [p for p in others if not any(tag in p.name for tag in SANITIZED_TAGS)]
    return [folder / "libmivoble.so" for folder in folders]


def find_built_library():
    candidates = _candidates()
    for candidate in candidates:
        if candidate.is_file():
            return candidate.resolve()
    tried = ", ".join(str(c) for c in candidates)
    if any(not c.is_absolute() for c in candidates):
        tried += "; MIVOBLE_LIBRARY must be an absolute path"
    raise SystemExit(
        f"mivo_ble: no libmivoble to bundle (tried {tried}). Build it first "
        "(cmake --preset release && cmake --build --preset release), set MIVOBLE_LIBRARY "
        "to its path, or set MIVOBLE_BUNDLE_LIBRARY=0 to rely on an installed library."
    )


def _bundle():
    return os.environ.get("MIVOBLE_BUNDLE_LIBRARY", "1") != "0"


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        if _bundle():
            library = find_built_library()
            target = Path(self.build_lib) / "mivo_ble" / "lib" / BUNDLED_NAME
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(library, target)
            self.announce(f"bundled {library} as {target}", level=2)


class BinaryDistribution(Distribution):
    """The wheel carries a native library, so it is tagged for this platform."""

    def has_ext_modules(self):
        return _bundle()


class PlatformWheel(bdist_wheel):
    """Tags the wheel py3-none-<platform>: the library is loaded through ctypes, so any
    Python 3 runs it, but only on the platform the library was built for."""

    def get_tag(self):
        python, abi, platform = super().get_tag()
        if _bundle():
            return "py3", "none", platform
        return python, abi, platform


setup(cmdclass={"build_py": BuildWithLibrary, "bdist_wheel": PlatformWheel}, distclass=BinaryDistribution)
