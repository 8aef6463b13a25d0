"""Avatar bundles: a manifest plus members with the exact sizes the engine
checks. Member contents are deterministic placeholders until the issues that
give them meaning (identity features, driver video, models) land.
"""
import os

import numpy as np

from manifest import write_manifest

# legacy name -> canonical name (the engine accepts either on disk)
CANONICAL = {
    "P.f16": "source_frames.f16",
    "M.f32": "paste_transform.f32",
    "mask_512.u8": "paste_mask.u8",
    "pooled64.f16": "pooled_features.f16",
    "fs_red.f16": "feature_synth.f16",
    "drive/xs.f32": "idle_loop/source_keypoints.f32",
    "drive/xd.f32": "idle_loop/driven_keypoints.f32",
    "drive/si.i32": "idle_loop/source_index.i32",
}


def member_path(out, name, canonical):
    path = os.path.join(out, CANONICAL.get(name, name) if canonical else name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    return path


def write_member(out, name, data, canonical=False):
    with open(member_path(out, name, canonical), "wb") as f:
        f.write(data if isinstance(data, bytes) else np.ascontiguousarray(data).tobytes())


def identity_placeholders(nt, crop, frames, seed=0):
    """Members sized as the identity and drive loaders require."""
    rng = np.random.default_rng(seed)
    m = np.tile(np.array([1, 0, 0, 0, 1, 0], np.float32), (nt, 1))
    yy, xx = np.mgrid[0:crop, 0:crop]
    r = np.hypot(xx - crop / 2, yy - crop / 2) / (crop / 2)
    mask = np.clip((1.0 - r) * 512, 0, 255).astype(np.uint8)
    kp = rng.uniform(-0.5, 0.5, (frames, 21, 3)).astype(np.float32)
    return {
        "pooled64.f16": np.zeros(nt * 65536, np.float16),
        "P.f16": rng.uniform(0, 1, nt * crop * crop * 3).astype(np.float16),
        "M.f32": m,
        "mask_512.u8": mask,
        "drive/xs.f32": kp,
        "drive/xd.f32": kp,
        "drive/si.i32": (np.arange(frames) % nt).astype(np.int32),
    }


def write_bundle(out, nt=4, w=96, h=64, crop=32, frames=6, canonical=False, manifest=None, **manifest_kw):
    """A complete small bundle directory. manifest overrides the manifest dict."""
    os.makedirs(out, exist_ok=True)
    for name, data in identity_placeholders(nt, crop, frames).items():
        write_member(out, name, data, canonical)
    if manifest is not None:
        write_manifest(os.path.join(out, "manifest.json"), fields=manifest)
    else:
        write_manifest(os.path.join(out, "manifest.json"), nt=nt, w=w, h=h, crop=crop, frames=frames, **manifest_kw)
    return out
