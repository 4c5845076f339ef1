#!/usr/bin/env bash
# Builds the libraries of the Windows build that Debian ships for Linux only, libebml and
# libmatroska, from Debian's source packages of the versions the Linux build uses, as static
# libraries made with the cross compiler (cmake/mingw-w64-x86_64.cmake), into DIR/prefix, where
# the Windows configure finds them (VEXLOR_WIN_DEPS). `make windows` runs it.
#
# Usage: tools/build_win_deps.sh DIR [JOBS [CMAKE_ARGS...]]
#
# The sources come from apt: the deb-src entries are enabled in the system's apt sources (the
# Types line of /etc/apt/sources.list.d/*.sources) when they are not yet, and the package lists
# are updated once for them. When DIR/prefix holds a build of the installed versions, nothing is
# done (no network either).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: tools/build_win_deps.sh DIR [JOBS [CMAKE_ARGS...]]" >&2; exit 2; }
mkdir -p "$1"
dir=$(cd "$1" && pwd)
jobs=${2:-2}
shift $(($# >= 2 ? 2 : 1))
packages=(libebml libmatroska)

# The source versions of the installed development packages: the Linux build's libraries.
versions=()
for p in "${packages[@]}"; do
  v=$(dpkg-query -W -f='${source:Version}' "$p-dev" 2>/dev/null) ||
    { echo "build_win_deps: $p-dev is not installed (make deps installs it)" >&2; exit 1; }
  versions+=("$p=$v")
done
stamp=$dir/prefix/.built
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${versions[*]}" ]; then
  exit 0
fi
echo "build_win_deps: building ${versions[*]} for Windows in $dir"

"$(dirname "$0")/enable_deb_src.sh" "${packages[0]}"

src=$dir/src
rm -rf "$src" "$dir/prefix"
mkdir -p "$src"
# A file that cannot be fetched is reported below, by what is missing.
(cd "$src" && apt-get source --download-only -qq "${versions[@]}") || true

for i in "${!packages[@]}"; do
  p=${packages[$i]}
  v=${versions[$i]#*=}
  v=${v#*:}  # without an epoch, as the file names have it
  dsc=$src/${p}_$v.dsc
  [ -f "$dsc" ] || { echo "build_win_deps: cannot fetch the source of $p $v" >&2; exit 1; }
  if ! (cd "$src" && dpkg-source --no-check -x "$dsc" "$p" >/dev/null 2>&1); then
    # The upstream tarball alone, checked against the package's description.
    orig=$(cd "$src" && ls "${p}_${v%-*}".orig.tar.* 2>/dev/null | head -1)
    sum=$(awk '/^Checksums-Sha256:/ {on = 1; next} /^[^ ]/ {on = 0} on' "$dsc" |
          awk -v f="$orig" '$3 == f {print $1}')
    if [ -z "$orig" ] || [ -z "$sum" ] || [ "$(cd "$src" && sha256sum "$orig" | cut -d' ' -f1)" != "$sum" ]; then
      echo "build_win_deps: the source of $p $v is incomplete" >&2
      exit 1
    fi
    echo "build_win_deps: warning: Debian's changes to $p $v could not be fetched; building" \
         "its upstream source" >&2
    mkdir -p "$src/$p"
    tar -xf "$src/$orig" -C "$src/$p" --strip-components=1
  fi
  log=$dir/build-$p.log
  if ! { cmake -S "$src/$p" -B "$dir/build-$p" -Wno-dev \
           -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
           -DBUILD_SHARED_LIBS=OFF -DDISABLE_PKGCONFIG=ON -DCMAKE_INSTALL_PREFIX="$dir/prefix" \
           -DEBML_DIR="$dir/prefix/lib/cmake/EBML" "$@" &&
         cmake --build "$dir/build-$p" -j "$jobs" &&
         cmake --install "$dir/build-$p"; } >"$log" 2>&1; then
    tail -30 "$log" >&2
    echo "build_win_deps: building $p failed (log: $log)" >&2
    exit 1
  fi
done
echo "${versions[*]}" >"$stamp"
