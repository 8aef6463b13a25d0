"""The demo bundle: a real portrait (skimage's astronaut.png) filmed as a
1280x720 driver video with a small, natural head sway, its face crop at 512
as the warp prior, the forge's director, and a drive track that talks.

Geometry. The photo is scaled to the canvas height and centred; frame i
applies a small rotation and drift A_i about the face. The crop is the
square of the photo around the face whose mouth lands where the director's
lip rows are (crop units: corners at x = +-0.22, lip band at y ~ 0.455), so
the paste transform of frame i is M_i = A_i . place . crop_to_photo, and the
crop itself is the photo seen through crop_to_photo.

Teeth. The reference bank is cut from her own smile in the crop (the photo
shows her teeth), the lip template outlines the director's mouth, and its
compose v2 structure is bound to the director's bytes.
"""
import json
import os

import numpy as np
from PIL import Image
from skimage import data

from bundle import write_member
from director import face_keypoints, smooth_features, write_director
from fca import write_fca_members
from manifest import write_manifest
from speech import source_keypoints, write_raw
from tessera import HEAD_JSON, merge_manifest, write_lip_template, write_teeth_members
from video import write_h264

W, H, CROP, NT = 1280, 720, 512, 50
MOUTH = (225.0, 145.0)  # mouth centre in the 512x512 photo
CROP_SIDE = 172.0  # photo pixels across the crop: mouth width spans 0.44 crop units
CROP_ORIGIN = (MOUTH[0] - CROP_SIDE / 2, MOUTH[1] - CROP_SIDE / 2 - 0.455 * CROP_SIDE / 2)
# Her teeth window: 160x64 about the mouth (which spans about 120 px of the crop),
# the band its middle rows and all but a tenth at each side; and eight donors a
# frame of her 36, four carried over and four taken from the next frame.
TEETH_SHAPE = ((0.3125, 0.125), (0.2, 0.8), (0.1, 0.9))
TEETH_HEAD = {"retrieval": dict(HEAD_JSON["retrieval"], K=8, cut=24),
              "temporal": {"hysteresis": 4, "lookahead": 4}, "decode": HEAD_JSON["decode"]}


def affine(a, b, c, d, e, f):
    return np.array([[a, b, c], [d, e, f], [0, 0, 1]], np.float64)


def head_motion(i):
    """Frame i's sway about the face: up to 1.5 degrees and a few pixels."""
    t = 2 * np.pi * i / NT
    angle = np.deg2rad(1.5) * np.sin(t)
    dx, dy = 6 * np.sin(2 * t + 0.3), 4 * np.sin(t + 1.1)
    s = H / 512.0
    cx, cy = (W - H) / 2 + s * MOUTH[0], s * (MOUTH[1] - 40)
    ca, sa = np.cos(angle), np.sin(angle)
    to = affine(1, 0, -cx, 0, 1, -cy)
    rot = affine(ca, -sa, 0, sa, ca, 0)
    back = affine(1, 0, cx + dx, 0, 1, cy + dy)
    return back @ rot @ to


def placement():
    s = H / 512.0
    return affine(s, 0, (W - H) / 2, 0, s, 0)


def crop_to_photo():
    k = CROP_SIDE / CROP
    # pixel centres: crop pixel u covers photo x0 + (u + 0.5) k - 0.5
    return affine(k, 0, CROP_ORIGIN[0] + 0.5 * k - 0.5, 0, k, CROP_ORIGIN[1] + 0.5 * k - 0.5)


def warp(img, frame_from_dst, size, fill=(0, 0, 0)):
    """img sampled at frame_from_dst(p) for every destination pixel p (bicubic)."""
    m = frame_from_dst
    coeffs = (m[0, 0], m[0, 1], m[0, 2], m[1, 0], m[1, 1], m[1, 2])
    return np.asarray(Image.fromarray(img).transform(size, Image.AFFINE, coeffs, resample=Image.BICUBIC,
                                                     fillcolor=fill))


def backdrop(photo):
    """A soft studio backdrop from the photo's own edge colours."""
    left, right = photo[:, :8].mean((0, 1)), photo[:, -8:].mean((0, 1))
    t = np.linspace(0, 1, W)[None, :, None]
    y = np.linspace(0.9, 1.05, H)[:, None, None]
    return np.clip(((1 - t) * left + t * right) * y, 0, 255).astype(np.uint8)


def talking(frames):
    """Mouth openings of a speaker: syllables of varying width with short pauses."""
    i = np.arange(frames)
    syllable = 0.5 * (1 - np.cos(2 * np.pi * i / 6.0))
    phrase = np.clip(np.sin(2 * np.pi * i / 40.0) * 1.6, 0, 1)
    return 0.10 * syllable * phrase


def write_demo_bundle(out, frames=100, nt=NT):
    os.makedirs(out, exist_ok=True)
    photo = data.astronaut()
    place = placement()
    canvas_photo = warp(photo, np.linalg.inv(place), (W, H))
    inside = warp(np.full_like(photo, 255), np.linalg.inv(place), (W, H)) > 127
    back = backdrop(photo)
    base = np.where(inside, canvas_photo, back)
    fill = tuple(int(v) for v in back.reshape(-1, 3).mean(0))  # what the sway uncovers at the edges

    video, Ms = [], []
    for i in range(nt):
        A = head_motion(i)
        video.append(warp(base, np.linalg.inv(A), (W, H), fill))
        Ms.append((A @ place @ crop_to_photo())[:2].reshape(6))
    write_h264(os.path.join(out, "target_frames.mp4"), np.stack(video), preset="medium")

    face = demo_face().astype(np.float32) / 255.0
    prior = np.ascontiguousarray(face.transpose(2, 0, 1)).astype(np.float16)
    write_member(out, "P.f16", np.tile(prior.reshape(-1), nt))
    write_member(out, "M.f32", np.asarray(Ms, np.float32))
    write_member(out, "pooled64.f16", smooth_features(np.random.default_rng(5), nt).astype(np.float16))

    # an elliptical paste mask with a soft rim, covering forehead to chin
    c = (2.0 * np.arange(CROP) + 1.0) / CROP - 1.0
    x, y = np.meshgrid(c, c)
    r = np.sqrt((x / 0.8) ** 2 + ((y - 0.05) / 0.92) ** 2)
    write_member(out, "mask_512.u8", (np.clip((1.0 - r) / 0.25, 0, 1) * 255 + 0.5).astype(np.uint8))
    open_by = talking(frames)
    write_member(out, "drive/xs.f32", np.stack([face_keypoints(0.0)] * frames))
    write_member(out, "drive/xd.f32", np.stack([face_keypoints(o) for o in open_by]))
    write_member(out, "drive/si.i32", (np.arange(frames) % nt).astype(np.int32))
    write_director(os.path.join(out, "model_render.onnx"), crop=CROP, batch=1)
    write_director(os.path.join(out, "model_render_int8.onnx"), crop=CROP, batch=1, int8=True)
    write_manifest(os.path.join(out, "manifest.json"), nt=nt, w=W, h=H, crop=CROP, frames=frames, agent="astronaut")
    write_fca_members(out, nt)
    # her own teeth, cut from the smile in the photo (placed by the xs_target.bin just
    # written), and the lip contour of the director
    merge_manifest(out, write_teeth_members(out, demo_face(), CROP, shape=TEETH_SHAPE, head_json=TEETH_HEAD))
    write_lip_template(out, CROP)
    return out


def demo_face():
    """The 512 crop of the photo, uint8 [CROP, CROP, 3]: the warp prior and the bank's source."""
    return warp(data.astronaut(), crop_to_photo(), (CROP, CROP))


def write_demo_teeth(out, donors=0):
    """The demo's teeth members alone, with her idle keypoints, a manifest of their
    blocks, the lip template (without compose v2), "xd_talking.f32" (the drive
    track's keypoints) and "face.rgb" (the crop the bank was cut from): what the teeth tests and benchmarks read. donors: a bank of
    that many donors (16 shifts times donors/16 apertures) instead of the demo's 36."""
    os.makedirs(out, exist_ok=True)
    write_raw(os.path.join(out, "xs_target.bin"), source_keypoints(NT))
    write_raw(os.path.join(out, "xd_talking.f32"), np.stack([face_keypoints(o) for o in talking(48)]))
    if donors:
        blocks = write_teeth_members(out, demo_face(), CROP, n_apertures=donors // 16, shift_grid=(-2, -1, 0, 1),
                                     shape=TEETH_SHAPE, head_json=TEETH_HEAD)
    else:
        blocks = write_teeth_members(out, demo_face(), CROP, shape=TEETH_SHAPE, head_json=TEETH_HEAD)
    demo_face().tofile(os.path.join(out, "face.rgb"))
    with open(os.path.join(out, "manifest.json"), "w") as f:
        json.dump(dict(blocks, crop=CROP), f, indent=2)
    write_lip_template(out, CROP, compose_v2=False)
    return out
