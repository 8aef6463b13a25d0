"""Bundles whose identity, drive and driver members are complete: a driver
video (JPEG directory and/or H.264), a warp prior as P.f16 or HEVC 4:4:4,
optional FeatSynth features, plus the broken variants the refusals need.
"""
import os
import shutil

import numpy as np

from bundle import CANONICAL, write_bundle, write_member
from video import numbered_frames, write_h264, write_hevc, write_jpg_dir

PRIOR_HEVC = "P_hevc.mov"
PRIOR_HEVC_CANONICAL = "source_frames.hevc"


def write_driver_bundle(out, nt=6, w=64, h=48, crop=32, frames=4, driver="jpg", prior="f16", fs_red=False,
                        canonical=False, counted=True, driver_nt=None, driver_size=None, prior_name=None,
                        prior_pix_fmt="yuv444p", extra=None, **manifest_kw):
    """driver: "jpg", "mp4", "both" or None. prior: "f16", "hevc" or None.
    driver_nt / driver_size make a driver that disagrees with the manifest."""
    extra = dict(extra or {})
    if prior == "hevc":
        # the manifest names the prior; on disk it may carry the canonical name
        extra["P_hevc"] = prior_name or PRIOR_HEVC
    write_bundle(out, nt=nt, w=w, h=h, crop=crop, frames=frames, canonical=canonical, extra=extra, **manifest_kw)
    if prior != "f16":
        os.remove(os.path.join(out, CANONICAL["P.f16"] if canonical else "P.f16"))
    if fs_red:
        rng = np.random.default_rng(7)
        write_member(out, "fs_red.f16", rng.uniform(-1, 1, nt * 262144).astype(np.float16), canonical)
    if prior == "hevc":
        name = prior_name or (PRIOR_HEVC_CANONICAL if canonical else PRIOR_HEVC)
        write_hevc(os.path.join(out, name), numbered_frames(nt, crop, crop, seed=11), pix_fmt=prior_pix_fmt)
    dw, dh = driver_size or (w, h)
    video = numbered_frames(driver_nt or nt, dw, dh)
    if driver in ("jpg", "both"):
        write_jpg_dir(os.path.join(out, "target_frames"), video)
    if driver in ("mp4", "both"):
        write_h264(os.path.join(out, "target_frames.mp4"), video, counted=counted)
    return out


def driver_fixtures(tmp):
    """Fixtures of the driver, identity and drive tests (tiny, a few frames each)."""
    j = lambda name: os.path.join(tmp, name)  # noqa: E731
    write_driver_bundle(j("driver_jpg"), driver="jpg", fs_red=True)
    write_driver_bundle(j("driver_mp4"), nt=8, driver="mp4", prior="hevc")
    write_driver_bundle(j("driver_canonical"), nt=5, driver="mp4", prior="hevc", canonical=True, spelling="alias",
                        m_src=(128, 96), frames=3)
    write_driver_bundle(j("driver_both"), driver="both")
    write_driver_bundle(j("driver_fs_red_only"), driver="jpg", prior=None, fs_red=True)
    write_driver_bundle(j("driver_short"), nt=8, driver="mp4", counted=False, driver_nt=6)
    write_driver_bundle(j("driver_overcounted"), driver="mp4", driver_nt=7)
    write_driver_bundle(j("driver_wrong_size"), driver="mp4", driver_size=(32, 24))
    write_driver_bundle(j("driver_jpg_wrong_size"), driver="jpg", driver_size=(32, 24))
    write_driver_bundle(j("prior_420"), driver="jpg", prior="hevc", prior_pix_fmt="yuv420p")
    write_driver_bundle(j("prior_named"), driver="jpg", prior="hevc", prior_name="warp/prior.mov")
    # a JPEG directory missing its last frame is not a populated driver
    write_driver_bundle(j("driver_jpg_incomplete"), driver="jpg")
    os.remove(os.path.join(j("driver_jpg_incomplete"), "target_frames", "frame_000005.jpg"))
    # neither driver member
    write_driver_bundle(j("driver_none"), driver=None)
