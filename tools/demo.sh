#!/usr/bin/env bash
# The demo: forge (once, cached) a bundle from a real portrait, pack it into
# one IMX container as a host would ship it, show what the library reads from
# it, and replay its talking drive track into an H.264 video.
set -euo pipefail
build="${1:-build}"
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/$build/demo"
frames="${DEMO_FRAMES:-100}"
vozaz="$root/$build/vozaz"

# The cache is keyed by the forge's own sources and the frame count.
stamp="$(cat "$root"/tools/forge/*.py | sha256sum | cut -c1-16)-$frames"
if [ ! -f "$out/ada.imx" ] || [ "$(cat "$out/stamp" 2>/dev/null)" != "$stamp" ]; then
  rm -rf "$out" && mkdir -p "$out"
  echo "demo: forging the astronaut bundle (1280x720 driver, crop 512, $frames drive frames)"
  /usr/bin/python3 "$root/tools/forge" demo-bundle "$out/ada" --frames "$frames"
  "$vozaz" pack "$out/ada" "$out/ada.imx"
  rm -rf "$out/ada"   # the container is all a host ships
  echo "$stamp" > "$out/stamp"
fi
"$vozaz" info "$out/ada.imx"
# The warp node is the fastest director path on two cores: it computes the
# source cone inside the warp instead of hoisting it onto a third.
LE_WARP_NODE="${LE_WARP_NODE:-1}" "$vozaz" drive "$out/ada.imx" --out "$out/ada.mp4" --threads 2
echo "demo: the video is $out/ada.mp4 (the astronaut's mouth opens and closes with the drive track)"
