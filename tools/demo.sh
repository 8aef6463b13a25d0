#!/usr/bin/env bash
# The demo: forge a bundle, pack it into one IMX container, and let the
# library resolve and describe it the way a host would see it.
set -euo pipefail
build="${1:-build}"
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/$build/demo"
rm -rf "$out" && mkdir -p "$out"

/usr/bin/python3 "$root/tools/forge" bundle "$out/ada" --nt 8 --w 1280 --h 720 --crop 512 --frames 25
"$root/$build/vozaz" pack "$out/ada" "$out/ada.imx"
rm -rf "$out/ada"   # the container is all a host ships
"$root/$build/vozaz" info "$out/ada.imx"
echo "demo: container $out/ada.imx, unpacked once into $out/ada.lebundle"
