"""Driver videos and HEVC warp priors with visible content.

Every frame carries horizontal and vertical gradients plus its own frame
number drawn as blocky digits, so a wrong, shifted or stale frame shows.
Videos are encoded by the ffmpeg command line from raw frames on stdin.
"""
import os
import subprocess

import numpy as np
from PIL import Image

# 3x5 digit glyphs, one string of 15 bits per digit, row-major.
GLYPHS = {
    "0": "111101101101111", "1": "010110010010111", "2": "111001111100111",
    "3": "111001111001111", "4": "101101111001001", "5": "111100111001111",
    "6": "111100111101111", "7": "111001001001001", "8": "111101111101111",
    "9": "111101111001111",
}


def draw_number(img, n, x0=2, y0=2, scale=2):
    """Draws n into img (H, W, 3 uint8) as white digits on a black box."""
    text = str(n)
    h, w = img.shape[:2]
    bw = min(w - x0, (4 * len(text) + 1) * scale)
    bh = min(h - y0, 7 * scale)
    img[y0:y0 + bh, x0:x0 + bw] = 0
    for k, ch in enumerate(text):
        bits = GLYPHS[ch]
        for r in range(5):
            for c in range(3):
                if bits[r * 3 + c] == "1":
                    y = y0 + (r + 1) * scale
                    x = x0 + (k * 4 + c + 1) * scale
                    img[y:y + scale, x:x + scale] = 255
    return img


def numbered_frames(nt, w, h, seed=0):
    """(nt, h, w, 3) uint8 frames: gradients, a per-frame tint and the frame number."""
    yy, xx = np.mgrid[0:h, 0:w]
    frames = np.empty((nt, h, w, 3), np.uint8)
    for i in range(nt):
        f = frames[i]
        f[..., 0] = (xx * 255 // max(w - 1, 1)).astype(np.uint8)
        f[..., 1] = (yy * 255 // max(h - 1, 1)).astype(np.uint8)
        f[..., 2] = ((xx + yy + 37 * i + seed) % 256).astype(np.uint8)
        draw_number(f, i)
    return frames


def write_jpg_dir(directory, frames, quality=95):
    os.makedirs(directory, exist_ok=True)
    for i, f in enumerate(frames):
        Image.fromarray(f).save(os.path.join(directory, "frame_%06d.jpg" % i), quality=quality)


def _encode(path, frames, codec_args, fmt):
    nt, h, w, _ = frames.shape
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    cmd = ["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "rawvideo", "-pix_fmt", "rgb24",
           "-s", "%dx%d" % (w, h), "-r", "25", "-i", "-"] + codec_args + ["-f", fmt, path]
    subprocess.run(cmd, input=np.ascontiguousarray(frames).tobytes(), check=True)


def write_h264(path, frames, counted=True, preset="veryfast"):
    """H.264 yuv420p. counted=False writes a bare Annex B stream, which states no frame count."""
    _encode(path, frames, ["-c:v", "libx264", "-preset", preset, "-pix_fmt", "yuv420p"],
            "mp4" if counted else "h264")


def write_hevc(path, frames, pix_fmt="yuv444p"):
    """HEVC in a QuickTime container; yuv444p is the prior's layout."""
    _encode(path, frames, ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error",
                           "-pix_fmt", pix_fmt], "mov")
