#!/usr/bin/env bash
# Makes Debian's source packages reachable for `apt-get source`: deb-src beside every deb entry of
# the deb822 source files, and the lists updated when that changed or PACKAGE's source is unknown.
# Usage: tools/enable_deb_src.sh PACKAGE
set -euo pipefail
package=${1:?usage: tools/enable_deb_src.sh PACKAGE}
sudo=""
[ "$(id -u)" = 0 ] || sudo=sudo
enabled=0
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  if grep -qE '^Types:[[:space:]]*deb[[:space:]]*$' "$f"; then
    $sudo sed -i -E 's/^Types:[[:space:]]*deb[[:space:]]*$/Types: deb deb-src/' "$f"
    enabled=1
  fi
done
if [ "$enabled" = 1 ] || ! apt-cache showsrc "$package" 2>/dev/null | grep -q '^Package:'; then
  $sudo apt-get update -qq
fi
