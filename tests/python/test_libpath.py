"""Where the wrapper looks for the native library, in which order, and what it says when it finds none."""

import sys

import pytest

from forked import isolated
from mivo_ble.exceptions import LibraryNotFound
from mivo_ble.lib.libpath import find_library


def _touch(path):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"")
    return path


@pytest.fixture
def source_tree(tmp_path):
    """A repository layout with the package inside it and no library anywhere."""
    _touch(tmp_path / "include" / "mivoble" / "mivoble.h")
    package = tmp_path / "src" / "python" / "mivo_ble" / "lib"
    package.mkdir(parents=True)
    return tmp_path, package


def _no_system(name):
    return None


def test_environment_override_wins_and_a_wrong_one_is_an_error(source_tree, tmp_path):
    root, package = source_tree
    _touch(package / "libmivoble.so.1")
    chosen = _touch(tmp_path / "elsewhere" / "libmivoble.so")
    assert find_library({"MIVOBLE_LIBRARY": str(chosen)}, package, _no_system) == str(chosen)
    with pytest.raises(LibraryNotFound, match="MIVOBLE_LIBRARY is set to '/no/such/lib.so'"):
        find_library({"MIVOBLE_LIBRARY": "/no/such/lib.so"}, package, _no_system)


def test_library_next_to_the_package_comes_before_the_build_tree(source_tree):
    root, package = source_tree
    _touch(root / "build" / "release" / "libmivoble.so")
    bundled = _touch(package / "libmivoble.so.1")
    assert find_library({}, package, _no_system) == str(bundled)


def test_build_tree_prefers_release_then_debug_then_others_with_sanitizer_builds_last(source_tree):
    root, package = source_tree
    asan = _touch(root / "build" / "asan" / "libmivoble.so")
    assert find_library({}, package, _no_system) == str(asan)
    # Sorted first, but a sanitizer build all the same.
    _touch(root / "build" / "area-tsan" / "libmivoble.so")
    other = _touch(root / "build" / "mybuild" / "libmivoble.so")
    assert find_library({}, package, _no_system) == str(other)
    debug = _touch(root / "build" / "debug" / "libmivoble.so")
    assert find_library({}, package, _no_system) == str(debug)
    release = _touch(root / "build" / "release" / "libmivoble.so")
    assert find_library({}, package, _no_system) == str(release)


def test_installed_package_falls_back_to_the_system_library(tmp_path):
    package = tmp_path / "site-packages" / "mivo_ble" / "lib"
    package.mkdir(parents=True)
    assert find_library({}, package, lambda name: "libmivoble.so.1") == "libmivoble.so.1"


def test_error_names_every_place_tried(source_tree):
    root, package = source_tree
    with pytest.raises(LibraryNotFound) as raised:
        find_library({}, package, _no_system)
    text = str(raised.value)
    for place in ("MIVOBLE_LIBRARY (not set)", str(package / "libmivoble.so*"),
                  str(root / "build" / "release" / "libmivoble.so"),
                  str(root / "build" / "debug" / "libmivoble.so"), "find_library('mivoble')"):
        assert place in text


@isolated(MIVOBLE_LIBRARY="/no/such/libmivoble.so")
def test_package_imports_without_the_library_and_names_the_problem_on_first_use():
    for name in [m for m in sys.modules if m == "mivo_ble" or m.startswith("mivo_ble.")]:
        del sys.modules[name]
    import mivo_ble

    assert mivo_ble.__version__ == "1.24.2"
    assert mivo_ble.Amplifier.Error.NONE.value == 0
    with pytest.raises(ImportError, match="MIVOBLE_LIBRARY is set to '/no/such/libmivoble.so'"):
        mivo_ble.MivoBLEWrapper
