"""Motion-pipeline directories: the log-mel speech model, the windowed motion
generator and the stitching network, with every table they read.

No trained networks exist here, so the forge builds seeded random ones with
one designed path that makes the mouth follow the speech:

  student  "hubert_student.onnx": log-mel [1,80,21] -> features [1,20,1024]
           (normalised). Feature frame i reads mel frames i and i+1; its
           channel 0 is the mean log-mel energy, mapped so that silence
           (log 1e-8) gives about 0 and speech about 1. fmean/fstd leave
           channel 0 as it is.
  lmdm     "lmdm.onnx": conditioning [1,80,1103] and seed [1,265] ->
           motion [1,80,265]. Linear in both (tiny) or with a residual
           attention trunk on top (full); conditioning channel 0 opens the
           lip rows of the expression components 202..264, and half the seed
           carries over into components 0..201.
  stitch   "stitch.onnx": xs_la [1,63], xd_la [1,63] -> [1,21,3], xd_la plus
           a small correction of both.

Inputs are bound by position, so the tensor names are arbitrary.
"""
import json
import os

import numpy as np
from onnx import TensorProto, helper

from speech import Graph, gelu, layer_norm, lip_sign, save, source_keypoints, write_raw

SR = 16000
NFFT = 512
BINS = NFFT // 2 + 1
MELS = 80
MEL_FRAMES = 21
FEAT_FRAMES = 20
FEAT = 1024
COND = 1103
WIN = 80
MOTION = 265
KP = 63
DESC = 328
SILENCE_LOG = float(np.log(1e-8))

SIZES = {
    "tiny": dict(student_ch=16, lmdm_d=0, lmdm_blocks=0, stitch_hidden=16, nt=4, n_emo=3),
    "full": dict(student_ch=512, lmdm_d=512, lmdm_blocks=4, stitch_hidden=512, nt=50, n_emo=8),
}


def hann_periodic(n=NFFT):
    return (0.5 - 0.5 * np.cos(2 * np.pi * np.arange(n) / n)).astype(np.float32)


def hz_to_mel(f):
    return 2595.0 * np.log10(1.0 + np.asarray(f, np.float64) / 700.0)


def mel_to_hz(m):
    return 700.0 * (10.0 ** (np.asarray(m, np.float64) / 2595.0) - 1.0)


def mel_filters(mels=MELS, bins=BINS, sr=SR):
    """[mels, bins] triangular HTK-mel filters over 0..sr/2, each of unit peak."""
    freqs = np.linspace(0, sr / 2, bins)
    edges = mel_to_hz(np.linspace(hz_to_mel(0), hz_to_mel(sr / 2), mels + 2))
    lo, mid, hi = edges[:-2, None], edges[1:-1, None], edges[2:, None]
    up = (freqs[None, :] - lo) / (mid - lo)
    down = (hi - freqs[None, :]) / (hi - mid)
    return np.maximum(0, np.minimum(up, down)).astype(np.float32)


def mel_filters_loop(mels=MELS, bins=BINS, sr=SR):
    """The same bank, one weight at a time from the triangle's definition."""
    step = (2595.0 * np.log10(1.0 + (sr / 2) / 700.0)) / (mels + 1)
    hz = [700.0 * (10.0 ** (step * k / 2595.0) - 1.0) for k in range(mels + 2)]
    out = np.zeros((mels, bins))
    for b in range(mels):
        for j in range(bins):
            f = j * (sr / 2) / (bins - 1)
            if hz[b] < f <= hz[b + 1]:
                out[b, j] = (f - hz[b]) / (hz[b + 1] - hz[b])
            elif hz[b + 1] < f < hz[b + 2]:
                out[b, j] = (hz[b + 2] - f) / (hz[b + 2] - hz[b + 1])
    return out


def student_model(size, seed=711):
    """[1,80,21] log-mel -> [1,20,1024]; channel 0 = (mean energy of mel frames i, i+1 - log 1e-8) / 16."""
    s = SIZES[size]
    g = Graph(seed)
    ch = s["student_ch"]
    w = g.rng.normal(0, 0.05 / np.sqrt(2 * MELS), (ch, MELS, 2))
    y = g.op("Conv", ["mel", g.const(w), g.const(np.zeros(ch))])  # [1,ch,20]
    y = gelu(g, g.op("Div", [y, g.const(4.0)]))
    x = g.op("Transpose", [y], perm=[0, 2, 1])  # [1,20,ch]
    x = g.op("MatMul", [x, g.weight(ch, FEAT)])
    keep = np.ones(FEAT, np.float32)
    keep[0] = 0
    cue_w = np.full((1, MELS, 2), 0.5 / MELS / 16.0)
    cue = g.op("Conv", ["mel", g.const(cue_w), g.const([-SILENCE_LOG / 16.0])])  # [1,1,20]
    cue = g.op("Transpose", [cue], perm=[0, 2, 1])  # [1,20,1]
    place = np.zeros((1, FEAT), np.float32)
    place[0, 0] = 1
    g.op("Add", [g.op("Mul", [x, g.const(keep)]), g.op("MatMul", [cue, g.const(place)])], out="feat")
    return g.model([helper.make_tensor_value_info("mel", TensorProto.FLOAT, [1, MELS, MEL_FRAMES])],
                   [helper.make_tensor_value_info("feat", TensorProto.FLOAT, [1, FEAT_FRAMES, FEAT])], "student")


def lip_expression():
    """[265]: conditioning channel 0 moves the lip rows of the expression part."""
    v = np.zeros(MOTION, np.float32)
    v[202:] = 0.04 * lip_sign()
    return v


def lmdm_model(size, seed=722, seed_len=MOTION):
    """cond [1,80,1103], seed [1,seed_len] -> [1,80,265]."""
    s = SIZES[size]
    g = Graph(seed)
    a = g.rng.normal(0, 0.05 / np.sqrt(COND), (COND, MOTION))
    a[0] = lip_expression()
    out = g.op("MatMul", ["cond", g.const(a)])  # [1,80,265]
    d = s["lmdm_d"]
    if d:
        x = g.op("MatMul", ["cond", g.weight(COND, d, 0.5)])
        for _ in range(s["lmdm_blocks"]):
            y = layer_norm(g, x, d)
            q = g.op("MatMul", [y, g.weight(d, d)])
            k = g.op("MatMul", [y, g.weight(d, d)])
            v = g.op("MatMul", [y, g.weight(d, d)])
            sc = g.op("Div", [g.op("MatMul", [q, g.op("Transpose", [k], perm=[0, 2, 1])]), g.const(np.sqrt(d))])
            x = g.op("Add", [x, g.op("MatMul", [g.op("MatMul", [g.op("Softmax", [sc], axis=-1), v]),
                                                 g.weight(d, d, 0.5)])])
            f = gelu(g, g.op("MatMul", [layer_norm(g, x, d), g.weight(d, 4 * d)]))
            x = g.op("Add", [x, g.op("MatMul", [f, g.weight(4 * d, d, 0.5)])])
        wo = g.rng.normal(0, 0.02 / np.sqrt(d), (d, MOTION))
        out = g.op("Add", [out, g.op("MatMul", [layer_norm(g, x, d), g.const(wo)])])
    b = g.rng.normal(0, 0.02 / np.sqrt(seed_len), (seed_len, MOTION))
    for c in range(min(202, seed_len)):
        b[c, c] += 0.5
    carry = g.op("Unsqueeze", [g.op("MatMul", ["seed", g.const(b)]), g.i64([1])])  # [1,1,265]
    g.op("Add", [out, carry], out="motion")
    return g.model([helper.make_tensor_value_info("cond", TensorProto.FLOAT, [1, WIN, COND]),
                    helper.make_tensor_value_info("seed", TensorProto.FLOAT, [1, seed_len])],
                   [helper.make_tensor_value_info("motion", TensorProto.FLOAT, [1, WIN, MOTION])], "lmdm")


def stitch_model(size, seed=733, inputs=2):
    """xs_la [1,63], xd_la [1,63] -> xd_la + 0.05 tanh([xs, xd] W1) W2, as [1,21,3]."""
    s = SIZES[size]
    g = Graph(seed)
    hid = s["stitch_hidden"]
    names = ["xs_la", "xd_la"][:inputs]
    both = g.op("Concat", names, axis=1) if inputs == 2 else names[0]
    y = g.op("Tanh", [g.op("MatMul", [both, g.weight(KP * inputs, hid)])])
    if size == "full":
        y = g.op("Tanh", [g.op("MatMul", [y, g.weight(hid, hid)])])
    corr = g.op("Mul", [g.op("MatMul", [y, g.weight(hid, KP)]), g.const(0.05)])
    st = g.op("Add", [names[-1], corr])
    g.op("Reshape", [st, g.i64([1, 21, 3])], out="st")
    return g.model([helper.make_tensor_value_info(n, TensorProto.FLOAT, [1, KP]) for n in names],
                   [helper.make_tensor_value_info("st", TensorProto.FLOAT, [1, 21, 3])], "stitch")


def pose_logits(angle, rng):
    """[66] bounded logits peaking at the bin of `angle` degrees (angle = 3 i - 97.5)."""
    i = np.arange(66)
    centre = (angle + 97.5) / 3.0
    return (10.0 * np.exp(-0.5 * ((i - centre) / 1.5) ** 2) + rng.normal(0, 0.05, 66)).astype(np.float32)


def descriptor(canonical, pitch, yaw, roll, scale, tx, ty, rng):
    """328 floats: expression, canonical keypoints, pitch, roll, scale, translation, yaw."""
    d = np.zeros(DESC, np.float32)
    d[0:63] = rng.normal(0, 0.004, 63)
    d[63:126] = canonical
    d[126:192] = pose_logits(pitch, rng)
    d[192:258] = pose_logits(roll, rng)
    d[258] = scale
    d[259:262] = (tx, ty, 0.0)
    d[262:328] = pose_logits(yaw, rng)
    return d


def write_motion_pipeline(out, size="tiny", nt=None, meta=None, n_src=None, s_bridge=0.7, delta_pitch=2.0):
    """A motion-pipeline directory; meta overrides the meta.json text."""
    s = SIZES[size]
    nt = nt or s["nt"]
    n_emo = s["n_emo"]
    os.makedirs(out, exist_ok=True)
    j = lambda name: os.path.join(out, name)  # noqa: E731
    if meta is None:
        fields = {"nt": nt, "n_src": nt if n_src is None else n_src, "n_emo": n_emo, "s_bridge": s_bridge}
        if delta_pitch is not None:
            fields["delta_pitch"] = delta_pitch
        meta = json.dumps(fields)
    with open(j("meta.json"), "w") as f:
        f.write(meta)
    rng = np.random.default_rng(744)
    write_raw(j("hubert_stft_window.bin"), hann_periodic())
    bank = mel_filters()
    if np.abs(bank - mel_filters_loop()).max() > 1e-5:
        raise AssertionError("mel filter bank disagrees with its definition")
    write_raw(j("hubert_stft_binmat.bin"), bank)
    fmean = rng.normal(0, 0.1, FEAT)
    fstd = rng.uniform(0.5, 1.5, FEAT)
    fmean[0], fstd[0] = 0.0, 1.0
    write_raw(j("hubert_fmean.bin"), fmean)
    write_raw(j("hubert_fstd.bin"), fstd)
    write_raw(j("emo.bin"), rng.normal(0, 0.1, (n_emo, 8)))
    xs = source_keypoints(nt)
    write_raw(j("xs_target.bin"), xs)
    write_raw(j("ch_xs_info.bin"), descriptor(xs[0], 2.0, -4.0, 1.0, 1.05, 0.01, -0.02, rng))
    src = [descriptor(xs[i], 2.0 + np.sin(i), -4.0 + 2.0 * np.cos(i), 1.0, 1.0 + 0.01 * i, 0.01, -0.02, rng)
           for i in range(nt)]
    write_raw(j("src_xs_info.bin"), np.stack(src))
    write_raw(j("ch_sc.bin"), rng.normal(0, 0.05, KP))
    write_raw(j("ch_eye_open.bin"), rng.uniform(0.2, 0.4, 2))
    write_raw(j("ch_eye_ball.bin"), rng.normal(0, 0.05, 6))
    lo = np.full(MOTION, -4.0, np.float32)  # the seed's logits carry over at half strength and sometimes clip
    lo[202:] = -0.05
    write_raw(j("v_min_max.bin"), np.concatenate([lo, -lo]))
    save(student_model(size), j("hubert_student.onnx"))
    save(lmdm_model(size), j("lmdm.onnx"))
    save(stitch_model(size), j("stitch.onnx"))
    return out


def motion_fixtures(tmp):
    """The tiny motion-pipeline directory and one broken copy per creation refusal."""
    j = lambda *p: os.path.join(tmp, "motion", *p)  # noqa: E731
    mp = lambda name, **kw: write_motion_pipeline(j(name), **kw)  # noqa: E731
    mp("ok")
    mp("no_delta_pitch", delta_pitch=None)
    mp("no_s_bridge", meta='{"nt": 4, "n_src": 4, "n_emo": 3, "delta_pitch": 2.0}')
    mp("no_nt", meta='{"n_src": 4, "n_emo": 3, "s_bridge": 0.7}')
    mp("bad_s_bridge", meta='{"nt": 4, "n_src": 4, "n_emo": 3, "s_bridge"}')
    mp("nsrc_mismatch", n_src=3)
    write_raw(os.path.join(mp("short_emo"), "emo.bin"), np.zeros(3 * 8 - 1))
    write_raw(os.path.join(mp("short_xs"), "xs_target.bin"), np.zeros(3 * 63))
    os.remove(os.path.join(mp("no_window"), "hubert_stft_window.bin"))
    os.remove(os.path.join(mp("no_meta"), "meta.json"))
    save(stitch_model("tiny", inputs=1), os.path.join(mp("stitch_one_input"), "stitch.onnx"))
    save(lmdm_model("tiny", seed_len=264), os.path.join(mp("lmdm_short_seed"), "lmdm.onnx"))
    with open(os.path.join(mp("bad_student"), "hubert_student.onnx"), "wb") as f:
        f.write(b"not a model")
