#!/usr/bin/env bash
# Makes a throw-away Wine prefix whose COM1 and COM12 are the links
# LINK_DIR/com1 and LINK_DIR/com12, which tests point at korvasim's pty.
# Wine would otherwise give COM1 to the machine's /dev/ttyS0.
#   scripts/wine-prefix.sh PREFIX LINK_DIR
set -euo pipefail
prefix="$1"
links="$2"
export WINEPREFIX="$prefix" WINEDEBUG=-all
rm -rf "$prefix"
mkdir -p "$links"
wineboot -i >/dev/null 2>&1 || true
for port in 1 12; do
  wine reg add 'HKLM\Software\Wine\Ports' /v "COM$port" /d "$links/com$port" /f >/dev/null
done
wineserver -w
