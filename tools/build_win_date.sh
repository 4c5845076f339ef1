#!/usr/bin/env bash
# Builds the time zone library of the Windows build (the compiled part of Debian's
# howardhinnant-date, which Debian ships for Linux only) from Debian's source package of the
# version the Linux build uses, as a static library made with the cross compiler
# (cmake/mingw-w64-x86_64.cmake), into DIR/date-prefix, where the Windows configure finds it
# (VEXLOR_WIN_DATE). It reads the database from a folder the program names (MANUAL_TZ_DB) and
# never downloads anything. `make windows` runs it.
#
# Usage: tools/build_win_date.sh DIR [JOBS [CMAKE_ARGS...]]
#
# The source comes from apt: the deb-src entries are enabled in the system's apt sources (the
# Types line of /etc/apt/sources.list.d/*.sources) when they are not yet, and the package lists
# are updated once for them. When DIR/date-prefix holds a build of the installed version,
# nothing is done (no network either).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: tools/build_win_date.sh DIR [JOBS [CMAKE_ARGS...]]" >&2; exit 2; }
mkdir -p "$1"
dir=$(cd "$1" && pwd)
jobs=${2:-2}
shift $(($# >= 2 ? 2 : 1))
package=howardhinnant-date

version=$(dpkg-query -W -f='${source:Version}' libhowardhinnant-date-dev 2>/dev/null) ||
  { echo "build_win_date: libhowardhinnant-date-dev is not installed (make deps installs it)" >&2; exit 1; }
prefix=$dir/date-prefix
stamp=$prefix/.built
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$package=$version" ]; then
  exit 0
fi
echo "build_win_date: building $package $version for Windows in $dir"

"$(dirname "$0")/enable_deb_src.sh" "$package"

src=$dir/date-src
rm -rf "$src" "$prefix" "$dir/date-build"
mkdir -p "$src"
(cd "$src" && apt-get source --download-only -qq "$package=$version") || true
v=${version#*:}  # without an epoch, as the file names have it
dsc=$src/${package}_$v.dsc
[ -f "$dsc" ] || { echo "build_win_date: cannot fetch the source of $package $version" >&2; exit 1; }
# Debian's patches applied; the signature is not checked (apt checked the files' hashes).
(cd "$src" && dpkg-source --no-check -x "$dsc" tree >/dev/null 2>&1) ||
  { echo "build_win_date: cannot unpack $dsc" >&2; exit 1; }

log=$dir/build-date.log
if ! { cmake -S "$src/tree" -B "$dir/date-build" -Wno-dev \
         -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
         -DBUILD_SHARED_LIBS=OFF -DBUILD_TZ_LIB=ON -DMANUAL_TZ_DB=ON -DUSE_SYSTEM_TZ_DB=OFF \
         -DCOMPILE_WITH_C_LOCALE=ON -DCMAKE_INSTALL_PREFIX="$prefix" "$@" &&
       cmake --build "$dir/date-build" -j "$jobs" &&
       cmake --install "$dir/date-build"; } >"$log" 2>&1; then
  tail -30 "$log" >&2
  echo "build_win_date: building $package failed (log: $log)" >&2
  exit 1
fi
echo "$package=$version" >"$stamp"
