#!/usr/bin/env bash
# Installs everything the build, tests and demo need (and the benchmarks, with --bench), idempotently:
# Debian packages through apt, ONNX Runtime from the npm registry into third_party/.
# A second run on a provisioned machine does nothing but a few checks.
#   --arm64  also the aarch64 cross toolchain, qemu's user-mode emulator and the
#            arm64 multiarch development packages that `make test-arm` builds against.
#   --bench  also Google Benchmark and OpenCV (an anchor of the compositor
#            benchmark), which only `make bench` needs.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
arm64=0
bench=0
for arg in "$@"; do
  case "$arg" in
    --arm64) arm64=1 ;;
    --bench) bench=1 ;;
    *) echo "deps: unknown option $arg; the options are --arm64 and --bench." >&2; exit 2 ;;
  esac
done
sudo=""; [ "$(id -u)" = 0 ] || sudo="sudo"

debs=(
  build-essential cmake ninja-build pkg-config git clang libclang-rt-14-dev ca-certificates openssl
  libgtest-dev libgmock-dev
  libhwy-dev libstb-dev
  libavformat-dev libavcodec-dev libswscale-dev libswresample-dev libavutil-dev ffmpeg
  python3-onnx python3-numpy python3-pil python3-skimage python3-torch
  espeak-ng sox
  libboost-dev libturbojpeg0-dev
  chromium
)
# nodejs ships npm on most images; only ask Debian for both when npm is absent.
command -v npm >/dev/null || debs+=(nodejs npm)
if ((bench)); then debs+=(libbenchmark-dev libopencv-dev); fi
if ((arm64)); then
  # The cross compiler links against its own C library and the arm64 multiarch
  # libraries under /usr/lib/aarch64-linux-gnu; qemu runs the results.
  debs+=(
    gcc-aarch64-linux-gnu g++-aarch64-linux-gnu libc6-dev-arm64-cross qemu-user
    libgtest-dev:arm64 libgmock-dev:arm64 libhwy-dev:arm64 libstb-dev:arm64
    libavformat-dev:arm64 libavcodec-dev:arm64 libswscale-dev:arm64 libswresample-dev:arm64 libavutil-dev:arm64
    libturbojpeg0-dev:arm64
  )
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    echo "deps: adding the arm64 architecture"
    $sudo dpkg --add-architecture arm64
  fi
fi

missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "deps: installing ${missing[*]}"
  $sudo apt-get update -qq
  # --no-remove: an arm64 package must never displace its amd64 twin.
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends --no-remove "${missing[@]}" >/dev/null
fi

# ONNX Runtime: the shared library from onnxruntime-node, the official headers
# from the iOS xcframework of com.github.asus4.onnxruntime. Pinned by integrity.
ort="$root/third_party/onnxruntime"
stamp="$ort/.stamp"
want="onnxruntime-node@1.30.0 com.github.asus4.onnxruntime@0.4.9"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
  exit 0
fi
declare -A integrity=(
  [onnxruntime-node-1.30.0.tgz]='sha512-twhs1C2C/BFkz1yc5OY0KIU2GUq6DURO7hD4bx5Q2Qy3nAMJwRXW8xU3NVczE29VA9lolLOYepoD8fjTGOfIqw=='
  [com.github.asus4.onnxruntime-0.4.9.tgz]='sha512-BkzxduSZ9IkeDP6Q8lz2TFU2ie7hSSvS7ZIfzMooExoq0CNzJnuuGaUJ7IsojBgqO4ouD1jXah8OYyJbCN29Fg=='
)
dl="$root/third_party/npm"
mkdir -p "$dl"
for pkg in $want; do
  tgz="$(echo "${pkg%@*}-${pkg##*@}.tgz" | sed 's/^@//; s#/#-#')"
  if [ ! -f "$dl/$tgz" ]; then
    echo "deps: npm pack $pkg"
    (cd "$dl" && npm pack --silent "$pkg" >/dev/null)
  fi
  got="sha512-$(openssl dgst -sha512 -binary "$dl/$tgz" | base64 -w0)"
  if [ "$got" != "${integrity[$tgz]}" ]; then
    echo "deps: integrity mismatch for $tgz (got $got)" >&2
    rm -f "$dl/$tgz"
    exit 1
  fi
done

rm -rf "$ort.tmp" && mkdir -p "$ort.tmp/include" "$ort.tmp/lib/x64" "$ort.tmp/lib/arm64"
tar -xzf "$dl/onnxruntime-node-1.30.0.tgz" -C "$ort.tmp" \
  package/bin/napi-v6/linux/x64/libonnxruntime.so.1 package/bin/napi-v6/linux/arm64/libonnxruntime.so.1
mv "$ort.tmp/package/bin/napi-v6/linux/x64/libonnxruntime.so.1" "$ort.tmp/lib/x64/"
mv "$ort.tmp/package/bin/napi-v6/linux/arm64/libonnxruntime.so.1" "$ort.tmp/lib/arm64/"
hdr='package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64/onnxruntime.framework/Headers'
tar -xzf "$dl/com.github.asus4.onnxruntime-0.4.9.tgz" -C "$ort.tmp" --wildcards "$hdr/*.h"
mv "$ort.tmp/$hdr"/*.h "$ort.tmp/include/"
rm -rf "$ort.tmp/package"
echo "$want" > "$ort.tmp/.stamp"
rm -rf "$ort" && mv "$ort.tmp" "$ort"
echo "deps: ONNX Runtime ready in $ort"
