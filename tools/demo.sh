#!/usr/bin/env bash
# The demo: forge (once, cached) a bundle from a real portrait, pack it into
# one IMX container as a host would ship it, show what the library reads from
# it, and replay its talking drive track into an H.264 video. Then the
# product's loop: espeak-ng says two sentences, an utterance session turns
# them into a talking video with sound, and the second sentence is cut short
# by an interrupt. Last, the same speech rendered offline, faster than real time.
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
  echo "demo: forging the speech encoders and the motion bundle (full size)"
  /usr/bin/python3 "$root/tools/forge" speech-encoders "$out/speech" --size full
  /usr/bin/python3 "$root/tools/forge" motion-bundle "$out/ada_motion" --size full
  echo "$stamp" > "$out/stamp"
fi
"$vozaz" info "$out/ada.imx"
# The warp node is the fastest director path on two cores: it computes the
# source cone inside the warp instead of hoisting it onto a third.
LE_WARP_NODE="${LE_WARP_NODE:-1}" "$vozaz" drive "$out/ada.imx" --out "$out/ada.mp4" --threads 2
echo "demo: the video is $out/ada.mp4 (the astronaut's mouth opens and closes with the drive track)"

# Two sentences as one utterance; the interrupt lands about two thirds of the
# way into the second.
say="$out/ada_says"
espeak-ng -s 150 -w "$say.1.wav" "Hello, I am Ada. Every frame you see is rendered from my voice."
espeak-ng -s 150 -w "$say.2.wav" "Now I will keep on talking until somebody interrupts me, which should happen at any moment."
sox "$say.1.wav" "$say.2.wav" "$say.wav"
at="$(awk -v a="$(soxi -D "$say.1.wav")" -v b="$(soxi -D "$say.2.wav")" 'BEGIN { printf "%.2f", a + 0.66 * b }')"
rm -f "$say.1.wav" "$say.2.wav"
# The bundle ships no steady chunk model (at crop 512 on two cores a batch-24
# chunk costs more per frame than rendering each frame alone), so speak
# renders frame by frame.
# She speaks with her own teeth, borrowed from the bank her bundle carries;
# the same speech without the teeth pass goes beside it for comparison.
for teeth in "" --no-teeth; do
  LE_WARP_NODE="${LE_WARP_NODE:-1}" "$vozaz" speak "$out/ada.imx" "$out/ada_motion" "$say.wav" $teeth \
    --out "$out/ada_speaks${teeth:+_noteeth}.mp4" --w2v "$out/speech/w2v8.onnx" --interrupt-at "$at" --threads 2
done
echo "demo: the talking video is $out/ada_speaks.mp4 (with sound and her own teeth; the second sentence is cut off at ${at} s and the face eases back to idle)"
echo "demo: $out/ada_speaks_noteeth.mp4 is the same speech without the teeth pass"

# The same two sentences offline: every frame's expression at once, render and
# paste overlapped, as fast as the machine allows.
LE_WARP_NODE="${LE_WARP_NODE:-1}" "$vozaz" render "$out/ada.imx" "$say.wav" --w2v "$out/speech/w2v8.onnx" \
  --out "$out/ada_offline.mp4" --threads 2 | tee "$out/ada_offline.log"
ratio="$(sed -n 's/.*, \([0-9.]*\) s of video per second of wall time.*/\1/p' "$out/ada_offline.log")"
echo "demo: the offline video is $out/ada_offline.mp4, rendered at ${ratio}x real time (above 1 is faster)"
