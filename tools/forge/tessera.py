"""Teeth members: the reference bank, its sidecar, the blend head's weights and
config, the lip template with its compose v2 structure, and the manifest's
`unified` and `tessera` blocks.

Bank. Each donor is one stored patch of the face's own mouth (the teeth band
of the mouth window, widened by the stored margin), cut at a few apertures
(the patch stretched vertically about the lip line, as an opening mouth
shows more teeth) and small shifts. Frames go into a lossless RGB H.264
track (libx264rgb, qp 0; the decoder delivers gbrp) in a scrambled track
order the sidecar's track_order undoes.

Geometry. The stamp's window is centred on the mouth of the neutral
keypoints; pad (the shift margin) is canvas/64, the stored margin half of it.
c_canon is the mean pi centroid over the bundle's xs_target frames under the
corpus geometry "v1", so the engine's corpus match picks v1 with a wide margin.

Head. BlendHead(16) weights designed rather than trained: cand.0 channel 0 is
the 3x3 mean of the absolute difference (input channel 6), passed through
cand.2, and cand.4 scores it with a large negative weight, so candidates
that look like the query score higher. Written by torch.save.
"""
import base64
import collections
import hashlib
import io
import json
import os
import zipfile

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper
from PIL import Image

from director import LIP_ROWS, face_keypoints
from video import _encode

CORPUS = {"v1": (0.05, 0.08, 0.015), "v2": (0.10, 0.08, 0.074), "v3": (0.14, 0.08, 0.074)}
HEAD_JSON = {"retrieval": {"kshort": 512, "aperture_tol": 0.3, "cut": 96, "K": 64},
             "temporal": {"hysteresis": 8, "lookahead": 8}, "decode": {"envelope_clamp_255": 12}}
STAMP_KEYS = ("canvas_w", "canvas_h", "window_x0", "window_y0", "window_w", "window_h", "pad",
              "band_r0", "band_r1", "band_c0", "band_c1", "shift_margin")


def unified_block(crop, geometry="v1"):
    pad_x, pad_y, down = CORPUS[geometry]
    return {"pi": {"mode": "prop", "corner_recovery": False, "prop_gate_scale": 1.0,
                   "lip_idx": list(LIP_ROWS), "lip_geom_params": [pad_x, pad_y, down]},
            "crop": {"canvas": crop}}


def smooth(t):
    t = np.clip(t, 0.0, 1.0)
    return (3 - 2 * t) * t * t


def pi_u8(kp, crop, geometry="v1", gate_scale=1.0):
    """The pi mask of one frame (float64; the centroid is all the forge needs of it)."""
    pad_x, pad_y, down = CORPUS[geometry]
    lip = kp[list(LIP_ROWS), :2].astype(np.float64)
    c = np.mean(lip, 0)
    e = np.max(np.abs(lip - c), 0)
    coords = 2.0 * np.arange(crop) / (crop - 1) - 1.0
    X, Y = np.meshgrid(coords, coords)

    def ell(cx, cy, rx, ry):
        s = np.sqrt(rx * ry) * 256
        r = np.sqrt(((X - cx) / rx) ** 2 + ((Y - cy) / ry) ** 2)
        u = (1 - r) * s / 10
        return np.where(u < 0, 0.0, smooth(u))

    a = ell(c[0], c[1] + down, max(e[0] + pad_x, 0.1), max(e[1] + pad_y, 0.1))
    g = smooth((e[1] - 0.02) / 0.01) if e[1] >= 0.02 else 0.0
    b = g * ell(c[0], c[1], max(e[0], 0.004) * gate_scale, max(e[1], 0.004) * gate_scale)
    return np.round(np.minimum(np.maximum(a, b), 1) * 255).astype(np.uint8)


def canonical_centroid(frames, crop, geometry="v1"):
    cents = []
    for kp in frames:
        ys, xs = np.nonzero(pi_u8(kp, crop, geometry) >= 128)
        if len(xs):
            cents.append((xs.mean(), ys.mean()))
    return np.mean(cents, 0)


WIDE = ((0.5, 0.25), (0.3, 0.75), (0.15, 0.85))  # window w, h; band rows; band cols, as fractions


def stamp_for(crop, shape=WIDE):
    """Window about the neutral mouth; teeth band inside it. shape: the window's size
    in crop widths and the band's rows and columns in window fractions."""
    (fw, fh), (r0, r1), (c0, c1) = shape
    kp = face_keypoints(0.0)
    cx, cy = ((kp[list(LIP_ROWS), :2].mean(0) + 1) * crop * 0.5)
    ww, wh = int(round(crop * fw)), int(round(crop * fh))
    pad = max(2, crop // 64)
    x0 = int(np.clip(round(cx - ww / 2), pad, crop - ww - pad))
    y0 = int(np.clip(round(cy - wh / 2), pad, crop - wh - pad))
    values = (crop, crop, x0, y0, ww, wh, pad, int(wh * r0), int(wh * r1), int(ww * c0), int(ww * c1),
              max(1, pad // 2))
    return dict(zip(STAMP_KEYS, values))


def donor_patches(face, stamp, apertures, shifts):
    """uint8 [n, band_h, band_w, 3]: the stored patch around the teeth band, per (aperture, shift)."""
    s = stamp
    m = s["shift_margin"]
    bh = s["band_r1"] - s["band_r0"] + 2 * m
    bw = s["band_c1"] - s["band_c0"] + 2 * m
    top = s["window_y0"] + s["band_r0"] - m
    left = s["window_x0"] + s["band_c0"] - m
    img = Image.fromarray(face)
    out = []
    for a in apertures:
        for dy, dx in shifts:
            # stretch about the patch centre: a wider mouth shows more of the band
            cy, cx = top + dy + bh / 2, left + dx + bw / 2
            k = 1.0 / (1.0 + a)
            coeffs = (1.0, 0.0, cx - bw / 2, 0.0, k, cy - k * bh / 2)
            out.append(np.asarray(img.transform((bw, bh), Image.AFFINE, coeffs, resample=Image.BICUBIC)))
    return np.stack(out)


def head_state(rng_seed=7, syn=True):
    """The designed BlendHead(16) state dict, as float32 arrays."""
    rng = np.random.default_rng(rng_seed)
    w0 = rng.normal(0, 0.02, (16, 7, 3, 3))
    w0[0] = 0
    w0[0, 6] = 1.0 / 9.0  # mean |cand - query| over 3x3
    b0 = np.zeros(16)
    w2 = rng.normal(0, 0.02, (16, 16, 3, 3))
    w2[0] = 0
    w2[0, 0, 1, 1] = 1.0
    b2 = np.zeros(16)
    w4 = np.zeros((1, 16, 3, 3))
    w4[0, 0] = -40.0 / 9.0  # a larger difference, a lower score
    b4 = np.zeros(1)
    state = collections.OrderedDict([("cand.0.weight", w0), ("cand.0.bias", b0), ("cand.2.weight", w2),
                                     ("cand.2.bias", b2), ("cand.4.weight", w4), ("cand.4.bias", b4)])
    if syn:
        state["syn.0.weight"] = rng.normal(0, 0.1, (16, 3, 3, 3))
        state["syn.0.bias"] = np.zeros(16)
        state["syn.2.weight"] = rng.normal(0, 0.1, (1, 16, 3, 3))
        state["syn.2.bias"] = np.zeros(1)
    return collections.OrderedDict((k, v.astype(np.float32)) for k, v in state.items())


def save_head(path, state, parameters=False, protocol=2):
    """torch.save of the state dict. parameters=True stores nn.Parameters (a foreign global)."""
    import torch
    sd = collections.OrderedDict()
    for k, v in state.items():
        t = torch.from_numpy(np.ascontiguousarray(v))
        sd[k] = torch.nn.Parameter(t) if parameters else t
    torch.save(sd, path, pickle_protocol=protocol)


def deflate_copy(src, dst):
    """The same archive with every entry DEFLATEd."""
    with zipfile.ZipFile(src) as zin, zipfile.ZipFile(dst, "w", zipfile.ZIP_DEFLATED) as zout:
        for item in zin.infolist():
            zout.writestr(item.filename, zin.read(item.filename))


# --- lip template and compose v2 ---

def lip_polygon(nv=16):
    """Canonical outline of the mouth opening in units of the lip rows' half extents:
    corners a little inside the lip corners (x = +-0.85), a cupid's bow above, a
    fuller lower lip below."""
    t = np.linspace(0, 2 * np.pi, nv, endpoint=False)
    x = np.cos(t)
    y = np.where(np.sin(t) < 0, 1.0 - 0.25 * np.cos(2 * t) ** 2, 1.15) * np.sin(t)
    return np.stack([x * 0.85, y * 1.1], 1)


def lip_map(u):
    """anchor-linear map over rows 6, 12 (corners), 14 (upper), 17 (lower): each vertex
    follows the corner it faces in x and the lip it belongs to in y."""
    rows = [6, 12, 14, 17]
    nv = len(u)
    W = np.zeros((2 * nv, 2 * len(rows)))
    for i, (ux, uy) in enumerate(u):
        corner = 1 if ux >= 0 else 0  # right corner sits at +x
        W[2 * i, 2 * corner] = abs(ux)
        lip = 3 if uy >= 0 else 2
        W[2 * i + 1, 2 * lip + 1] = abs(uy)
    return {"schema": "lip-map-v1", "kind": "anchor-linear", "lip_idx": rows, "W": W.tolist(),
            "b": [0.0] * (2 * nv)}


def compose_tail(model):
    """Names of the compose tail nodes (Sub from 1.0, the two Muls, the Add) and its alpha."""
    g = model.graph
    producer = {o: n for n in g.node for o in n.output}
    add = producer[g.output[0].name]
    muls = [producer[i] for i in add.input]
    for m in muls:
        for i in m.input:
            p = producer.get(i)
            if p is not None and p.op_type == "Sub":
                return [add, muls[0], muls[1], p], p.input[1], m, [x for x in muls if x is not m][0]
    raise ValueError("no compose tail")


def compose_v2_structure(director_bytes, crop, batch=1):
    """The compose v2 structure for a director: every member node a placeholder,
    the compose replaced by Min(alpha, lip_delivery) and the same blend."""
    model = onnx.load_from_string(director_bytes)
    tail, alpha, outside_mul, inside_mul = compose_tail(model)
    tail_names = {n.name for n in tail}
    face = [i for i in outside_mul.input if i != [s for s in tail if s.op_type == "Sub"][0].output[0]][0]
    mouth = [i for i in inside_mul.input if i != alpha][0]
    nodes = []
    for n in model.graph.node:
        if n.name in tail_names:
            continue
        nodes.append(helper.make_node("MemberNode", [], [], name="cv2/" + n.name, domain="ai.velomark.compose_v2",
                                      k=n.name))
    nodes += [
        helper.make_node("Min", [alpha, "lip_delivery"], ["cv2_alpha"], name="cv2/lip_min"),
        helper.make_node("Sub", ["cv2_one", "cv2_alpha"], ["cv2_rest"], name="cv2/rest"),
        helper.make_node("Mul", [mouth, "cv2_alpha"], ["cv2_window"], name="cv2/window"),
        helper.make_node("Mul", [face, "cv2_rest"], ["cv2_face"], name="cv2/seam"),
        helper.make_node("Add", ["cv2_window", "cv2_face"], [model.graph.output[0].name], name="cv2/compose"),
    ]
    lip = helper.make_tensor_value_info("lip_delivery", TensorProto.FLOAT, [batch, 1, crop, crop])
    graph = helper.make_graph(nodes, "compose_v2", [lip], [],
                              initializer=[numpy_helper.from_array(np.array([1.0], np.float32), "cv2_one")])
    structure = helper.make_model(graph, producer_name="forge")
    helper.set_model_props(structure, {"compose_v2.source_sha256": hashlib.sha256(director_bytes).hexdigest()})
    return structure.SerializeToString()


def lip_template(crop, director_bytes=None, member="model_render.onnx", with_map=True, batch=1):
    u = lip_polygon()
    t = {"format": "lip-template-v1", "edge": "outward", "canvas": crop, "feather_px": max(2.0, crop / 85.0),
         "u_canon": u.tolist(), "lip_idx": list(LIP_ROWS)}
    if with_map:
        t["lip_map"] = dict(lip_map(u), canvas=crop)
    if director_bytes is not None:
        s = compose_v2_structure(director_bytes, crop, batch)
        t["compose_v2"] = {"schema": "compose-v2-structure-v1", "graphs": {member: {
            "source_sha256": hashlib.sha256(director_bytes).hexdigest(),
            "structure": base64.b64encode(s).decode("ascii"),
            "structure_sha256": hashlib.sha256(s).hexdigest()}}}
    return t


# --- the whole set ---

def write_teeth_members(out, face, crop, n_apertures=4, shift_grid=(-1, 0, 1), frames=None, shape=WIDE,
                        head_json=HEAD_JSON):
    """Writes the four teeth members into bundle `out`, placed by its xs_target.bin (written
    from `frames`, or four neutral frames, when the bundle has none); returns the manifest
    blocks ("unified", "tessera") to merge. face: uint8 [crop, crop, 3]."""
    stamp = stamp_for(crop, shape)
    step = max(1, stamp["pad"] // 2)
    shifts = [(dy * step, dx * step) for dy in shift_grid for dx in shift_grid]
    apertures = np.linspace(0.0, 0.12, n_apertures)
    patches = donor_patches(face, stamp, apertures, shifts)
    n = len(patches)
    target = os.path.join(out, "xs_target.bin")
    if frames is not None or not os.path.exists(target):
        xs = np.stack(frames) if frames is not None else np.stack([face_keypoints(0.0)] * 4)
        xs.astype(np.float32).tofile(target)
    xs = np.fromfile(target, np.float32).reshape(-1, 21, 3)
    c_canon = canonical_centroid(xs, crop, "v1")

    order = np.random.default_rng(11).permutation(n)  # track frame k holds donor order[k]
    _encode(os.path.join(out, "tessera_bank.v1.mp4"), patches[order],
            ["-c:v", "libx264rgb", "-qp", "0", "-preset", "ultrafast", "-pix_fmt", "rgb24"], "mp4")
    # A patch cut dy below the canonical place shows the face moved up by dy: its
    # mouth sat dy above the canonical centroid.
    cent = [[c_canon[0] - dx, c_canon[1] - dy] for _ in apertures for dy, dx in shifts]
    aperture = [float(a) for a in apertures for _ in shifts]
    sidecar = {"format": "tessera_bank.v1", "geometry": stamp, "n_donors": n,
               "track_order": [int(v) for v in order], "cent": cent, "aperture": aperture,
               "c_canon": [float(c_canon[0]), float(c_canon[1])],
               "codec": {"codec": "h264", "pix_fmt": "gbrp"}}
    with open(os.path.join(out, "tessera_bank.v1.json"), "w") as f:
        json.dump(sidecar, f, indent=1)
    save_head(os.path.join(out, "tessera_head.v1.pt"), head_state())
    with open(os.path.join(out, "tessera_head.v1.json"), "w") as f:
        json.dump(head_json, f, indent=1)
    tessera = {"planes": ["stream", "offline"], "bank_container": "mp4", "bank_codec": "h264",
               "bank_pix_fmt": "gbrp", "bank_packing": "rgb24_frames", "geometry": stamp}
    return {"unified": unified_block(crop), "tessera": tessera}


def write_lip_template(out, crop, member="model_render.onnx", compose_v2=True, with_map=True, batch=1,
                       director_bytes=None):
    """lip_template.v1.json for the bundle's director `member` (its bytes bind the structure)."""
    if compose_v2 and director_bytes is None:
        with open(os.path.join(out, member), "rb") as f:
            director_bytes = f.read()
    t = lip_template(crop, director_bytes if compose_v2 else None, member, with_map, batch)
    with open(os.path.join(out, "lip_template.v1.json"), "w") as f:
        json.dump(t, f)
    return t


def merge_manifest(out, blocks):
    path = os.path.join(out, "manifest.json")
    with open(path) as f:
        m = json.load(f)
    m.update(blocks)
    with open(path, "w") as f:
        json.dump(m, f, indent=2)


def add_teeth(out, crop, nt):
    """The teeth members (cut from the director's face image), a lip template and the
    motion bundle's source keypoints, into director bundle `out`: what a session
    arms its teeth pass from."""
    from director import face_image
    from speech import source_keypoints, write_raw

    write_raw(os.path.join(out, "xs_target.bin"), source_keypoints(nt))
    face = (face_image(crop).transpose(1, 2, 0) * 255 + 0.5).astype(np.uint8)
    merge_manifest(out, write_teeth_members(out, face, crop, n_apertures=2))
    write_lip_template(out, crop, compose_v2=False)


def teeth_fixtures(tmp):
    """bundle_teeth (crop 128): the four members, xs_target.bin, a director and a lip
    template, with the binary broken variants beside it in teeth_variants/.
    bundle_lip / bundle_lip_bind / bundle_lip_stale (crop 64): directors whose lip
    contour is spliced from compose v2, bound at load, or bound after a stale structure."""
    from director import face_image, write_director_bundle
    j = lambda *p: os.path.join(tmp, *p)  # noqa: E731

    crop = 128
    write_director_bundle(j("bundle_teeth"), crop=crop, nt=2, frames=4, w=160, h=144,
                          models={"model_render.onnx": dict(batch=1)})
    face = (face_image(crop).transpose(1, 2, 0) * 255 + 0.5).astype(np.uint8)
    blocks = write_teeth_members(j("bundle_teeth"), face, crop, n_apertures=2, frames=[face_keypoints(0.0)] * 2)
    merge_manifest(j("bundle_teeth"), blocks)
    write_lip_template(j("bundle_teeth"), crop)

    v = j("teeth_variants")
    os.makedirs(v)
    state = head_state()
    save_head(os.path.join(v, "head8.pt"), collections.OrderedDict(list(state.items())[:6]))
    save_head(os.path.join(v, "head_extra.pt"), collections.OrderedDict(list(state.items()) +
                                                                        [("extra.weight", np.ones(5, np.float32))]))
    save_head(os.path.join(v, "head_frame.pt"), state, protocol=4)
    save_head(os.path.join(v, "head_param.pt"), state, parameters=True)
    deflate_copy(j("bundle_teeth", "tessera_head.v1.pt"), os.path.join(v, "head_deflated.pt"))
    with open(j("bundle_teeth", "tessera_bank.v1.json")) as f:
        n = json.load(f)["n_donors"]
    patches = donor_patches(face, stamp_for(crop), [0.0], [(0, 0)] * (n + 1))
    args = ["-c:v", "libx264rgb", "-qp", "0", "-preset", "ultrafast", "-pix_fmt", "rgb24"]
    _encode(os.path.join(v, "bank_plus1.mp4"), patches, args, "mp4")
    _encode(os.path.join(v, "bank_minus1.mp4"), patches[:-2], args, "mp4")
    _encode(os.path.join(v, "bank_wide.mp4"), np.pad(patches[:-1], ((0, 0), (0, 0), (0, 2), (0, 0))), args, "mp4")

    from demo import write_demo_teeth
    write_demo_teeth(j("demo_teeth"))

    for name, compose in (("bundle_lip", True), ("bundle_lip_bind", False), ("bundle_lip_stale", True)):
        write_director_bundle(j(name), crop=64, models={"model_render.onnx": dict(batch=1),
                                                          "model_b4.onnx": dict(batch=4)})
        stale = None
        if name == "bundle_lip_stale":
            from director import build
            stale = build(crop=64, batch=1, seed=99).SerializeToString()
        write_lip_template(j(name), 64, compose_v2=compose, director_bytes=stale)
