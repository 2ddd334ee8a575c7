#!/usr/bin/env bash
# Installs a release build into a temporary prefix and uses it as an outside project would:
# CMake find_package and pkg-config consumers, the Debian packages (contents and lintian).
#
#   check_install.sh <build folder> <source folder>
#
# Nothing is written outside a temporary folder. Exits non-zero at the first failed check.
set -euo pipefail

build=$(realpath "$1")
source=$(realpath "$2")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
version=$(sed -n 's/^#define MIVOBLE_VERSION_\(MAJOR\|MINOR\|PATCH\) \([0-9]*\)$/\2/p' \
          "$source/include/mivoble/mivoble.h" | paste -sd.)
grep -qx "__version__ = \"$version\"" "$source/src/python/mivo_ble/__init__.py" \
    || { echo "FAILED: the Python package does not carry version $version" >&2; exit 1; }
export MIVOBLE_BACKEND=sim MIVOBLE_SIM=MV-2401.00.01 HOME=$scratch XDG_DATA_HOME=$scratch/share

fail() { echo "FAILED: $*" >&2; exit 1; }
step() { echo "== $*"; }

step "cmake --install into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
for file in include/mivoble/mivoble.h "lib/libmivoble.so.$version" lib/libmivoble.so.1 lib/libmivoble.so \
            lib/cmake/mivoble/mivobleConfig.cmake lib/cmake/mivoble/mivobleConfigVersion.cmake \
            lib/pkgconfig/mivoble.pc; do
    [[ -e $prefix/$file ]] || fail "not installed: $file"
done
[[ $(readlink "$prefix/lib/libmivoble.so.1") == "libmivoble.so.$version" ]] || fail "libmivoble.so.1 link"
[[ $(readlink "$prefix/lib/libmivoble.so") == libmivoble.so.1 ]] || fail "libmivoble.so link"

step "find_package(mivoble ${version%.*}) consumer"
cmake -S "$source/tests/install/consumer" -B "$scratch/cmake-consumer" -G Ninja \
      -DCMAKE_PREFIX_PATH="$prefix" -DMIVOBLE_REQUIRED_VERSION="${version%.*}" >/dev/null
cmake --build "$scratch/cmake-consumer" >/dev/null
LD_LIBRARY_PATH=$prefix/lib "$scratch/cmake-consumer/consumer" | tee "$scratch/out"
grep -qx "mivoble $version.0" "$scratch/out" || fail "MIVOBLE_GetApiVersion is not $version.0"

step "find_package(mivoble 2.0) is refused"
if cmake -S "$source/tests/install/consumer" -B "$scratch/too-new" -DCMAKE_PREFIX_PATH="$prefix" \
         -DMIVOBLE_REQUIRED_VERSION=2.0 >"$scratch/too-new.log" 2>&1; then
    fail "a request for version 2.0 was accepted"
fi
grep -q 'compatible with requested version "2.0"' "$scratch/too-new.log" \
    || { cat "$scratch/too-new.log"; fail "no version message"; }
grep -A5 'Could not find a configuration file' "$scratch/too-new.log"

step "pkg-config consumer"
flags=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs mivoble)
[[ $(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --modversion mivoble) == "$version" ]] || fail "pkg-config version"
# shellcheck disable=SC2086
cc -o "$scratch/pc-consumer" "$source/tests/install/consumer/consumer.c" $flags -pthread
LD_LIBRARY_PATH=$prefix/lib "$scratch/pc-consumer"

step "without the library the loader names libmivoble.so.1"
if "$scratch/pc-consumer" >/dev/null 2>"$scratch/missing.log"; then fail "ran without its library"; fi
grep -q 'libmivoble.so.1' "$scratch/missing.log" || { cat "$scratch/missing.log"; fail "loader error"; }
cat "$scratch/missing.log"

if [[ -x $prefix/bin/mivoble ]]; then
    step "the installed mivoble view serves its page and uPlot from the binary, offline"
    LD_LIBRARY_PATH=$prefix/lib /usr/bin/python3 - "$prefix/bin/mivoble" <<'PY' || fail "mivoble view"
import signal, subprocess, sys, urllib.request
view = subprocess.Popen([sys.argv[1], "view", "MV-2401.00.01", "--no-browser"], stdout=subprocess.PIPE, text=True)
try:
    base, token = view.stdout.readline().strip().split("?")
    direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    for path, size in (("", 500), ("uPlot.iife.min.js", 40000), ("view.js", 5000)):
        with direct.open(f"{base}{path}?{token}", timeout=10) as response:
            assert response.status == 200 and len(response.read()) > size, path
    print(f"served at {base}", flush=True)
finally:
    view.send_signal(signal.SIGINT)
    status = view.wait(timeout=30)
sys.exit(status)
PY
fi

step "Debian packages"
(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/debs" >/dev/null)
expect() {  # expect <package> <path>...
    local deb contents
    deb=$(ls "$scratch"/debs/"$1"_*.deb) || fail "no package $1"
    contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
    shift
    for path in "$@"; do grep -qx "./$path" <<<"$contents" || fail "$(basename "$deb") lacks $path"; done
    echo "$(basename "$deb"): $(wc -l <<<"$contents") entries"
}
expect libmivoble1 "usr/lib/libmivoble.so.$version" usr/lib/libmivoble.so.1 usr/share/doc/libmivoble1/copyright
expect libmivoble-dev usr/include/mivoble/mivoble.h usr/lib/libmivoble.so usr/lib/pkgconfig/mivoble.pc \
       usr/lib/cmake/mivoble/mivobleConfig.cmake usr/share/doc/libmivoble-dev/copyright
tools=(usr/share/doc/mivoble-tools/copyright)
[[ -x $build/mivoble ]] && tools+=(usr/bin/mivoble usr/share/man/man1/mivoble.1.gz)
[[ -x $build/tools/fake-bluetoothd/mivoble-fake-bluetoothd ]] \
    && tools+=(usr/bin/mivoble-fake-bluetoothd usr/share/man/man1/mivoble-fake-bluetoothd.1.gz)
expect mivoble-tools "${tools[@]}"
dpkg-deb -f "$(ls "$scratch"/debs/libmivoble1_*.deb)" Depends
dpkg-deb -f "$(ls "$scratch"/debs/mivoble-tools_*.deb)" Depends

step "lintian"
# Fails on errors, and on warnings other than the two kept on purpose (the README's Install
# section says why).
status=0
lintian --fail-on error --tag-display-limit 0 "$scratch"/debs/*.deb >"$scratch/lintian.log" 2>&1 || status=$?
grep -v '^running with root' "$scratch/lintian.log" || true
((status == 0)) || fail "lintian reports errors"
unexpected=$(grep '^W: ' "$scratch/lintian.log" \
             | grep -vE '^W: [^ ]+: (maintscript-calls-ldconfig|pkg-config-unavailable-for-cross-compilation)( |$)' || true)
[[ -z $unexpected ]] || fail "lintian warnings beyond the ones kept: $unexpected"
echo "install, consumers and packages: all checks passed"
