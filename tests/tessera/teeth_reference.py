"""Reference of the teeth pass in numpy, written from its description (half
precision emulated in float32, the blend head in float64).

usage: teeth_reference.py BUNDLE OUT_DIR. Writes frames.u8, masks.u8 and, per case
(run: a small K, shifts from the masks; shift: the member's config, some shifts
given), <case>_shifts.i32, head.json, windows.u8, status.i32, cands.i32 (per
frame a count, then the donors), blended.u8 (pixels the head's blend reaches)."""
import json
import os
import subprocess
import sys

import numpy as np
import torch

bundle, out = sys.argv[1], sys.argv[2]
f32 = np.float32
side = json.load(open(os.path.join(bundle, "tessera_bank.v1.json")))
g = side["geometry"]
CW, CH = g["canvas_w"], g["canvas_h"]
WX, WY, WW, WH = g["window_x0"], g["window_y0"], g["window_w"], g["window_h"]
PAD, R0, R1, C0, C1, SM = g["pad"], g["band_r0"], g["band_r1"], g["band_c0"], g["band_c1"], g["shift_margin"]
SH, SW = R1 - R0 + 2 * SM, C1 - C0 + 2 * SM
HH, HW = WH // 2, WW // 2
n = side["n_donors"]
ref, apert, cent = (np.array(side[k], np.float64) for k in ("c_canon", "aperture", "cent"))

# The bank in donor order, decoded by the ffmpeg command line.
raw = subprocess.run(["ffmpeg", "-v", "error", "-i", os.path.join(bundle, "tessera_bank.v1.mp4"), "-f", "rawvideo",
                      "-pix_fmt", "rgb24", "-"], check=True, capture_output=True).stdout
bank = np.zeros((n, SH, SW, 3), np.uint8)
bank[side["track_order"]] = np.frombuffer(raw, np.uint8).reshape(n, SH, SW, 3)

sd = torch.load(os.path.join(bundle, "tessera_head.v1.pt"), map_location="cpu")
head = [sd["cand.%d.%s" % (i, k)].double().numpy() for i in (0, 2, 4) for k in ("weight", "bias")]


def h(x):
    return np.asarray(x, f32).astype(np.float16).astype(f32)


HL = h(np.arange(256, dtype=f32) / f32(255))
T = h(HL[None, :] - HL[:, None])  # T[a, b] = h(H[b] - H[a])
dshift = np.clip(np.rint(np.stack([cent[:, 1] - ref[1], cent[:, 0] - ref[0]], 1)), -PAD, PAD).astype(int)


def canonical(d):
    """Window-sized byte image of donor d and where it is covered."""
    r = np.arange(WH)[:, None] - R0 + SM + dshift[d, 0]
    c = np.arange(WW)[None, :] - C0 + SM + dshift[d, 1]
    inside = (r >= 0) & (r < SH) & (c >= 0) & (c < SW)
    img = bank[d][np.clip(r, 0, SH - 1), np.clip(c, 0, SW - 1)] * inside[..., None]
    return img.astype(np.uint8), inside


def planes(img, inside):
    return np.where(inside[None], HL[img.transpose(2, 0, 1)], f32(0))


def pool4(p):
    PH, PW = WH // 4, WW // 4  # the 16 taps summed in order
    return h(sum((p[..., dy:4 * PH:4, dx:4 * PW:4] for dy in range(4) for dx in range(4)), f32(0)) / f32(16))


def pool2(p):
    a, b = p[..., 0:2 * HH:2, :2 * HW], p[..., 1:2 * HH:2, :2 * HW]
    return (((a[..., 0::2] + a[..., 1::2]) + b[..., 0::2]) + b[..., 1::2]) * f32(0.25)


def seqsum(v):
    return np.cumsum(np.asarray(v, f32).ravel(), dtype=f32)[-1] if np.size(v) else f32(0)


def conv3(x, w, b):
    H, W = x.shape[1:]
    xp = np.pad(x, ((0, 0), (1, 1), (1, 1)))
    o = np.broadcast_to(b[:, None, None], (w.shape[0], H, W)).copy()
    for ky in range(3):
        for kx in range(3):
            o += np.einsum("oi,ihw->ohw", w[:, :, ky, kx], xp[:, ky:ky + H, kx:kx + W])
    return o


def pooled_term(a, b, w):
    d = np.abs(h(a - b))
    return seqsum(h(w * h(((d[0] + d[1]) + d[2]) / f32(3))))


canon = [canonical(d) for d in range(n)]
pooled = [pool4(planes(*canon[d])) for d in range(n)]


class Pass:
    def __init__(self, cfg):
        self.cfg, self.prev_w, self.carried, self.carried_from, self.pending, self.out = cfg, None, [], -2, None, []

    def shift(self, mask, given):
        if given is None:
            ys, xs = np.nonzero(mask >= 128)
            if len(ys) == 0:
                return None
            given = (int(np.rint(ys.mean() - ref[1])), int(np.rint(xs.mean() - ref[0])))
        return tuple(given) if max(abs(given[0]), abs(given[1])) <= PAD else None

    def query(self, frame, mask, s):
        r = WY + s[0] + np.arange(WH)[:, None]
        c = WX + s[1] + np.arange(WW)[None, :]
        on = (r >= 0) & (r < CH) & (c >= 0) & (c < CW)
        rr, cc = np.clip(r, 0, CH - 1), np.clip(c, 0, CW - 1)
        return (frame[rr, cc] * on[..., None]).astype(np.uint8), (mask[rr, cc] * on).astype(np.uint8)

    def retrieve(self, qb, qm):
        cfg = self.cfg
        R, G, B = (qb[..., i].astype(np.float64) for i in range(3))
        w = ((qm >= 128) & (0.299 * R + 0.587 * G + 0.114 * B >= 100.0) & (np.abs(G - R) < 25)).astype(f32)
        if w.sum() < 32:
            w = (qm >= 128).astype(f32)
        if self.prev_w is not None:
            w = np.maximum(w, f32(0.6) * self.prev_w)
        self.prev_w = w
        qp, wp = pool4(qb.transpose(2, 0, 1).astype(f32) / f32(255)), pool4(w)
        P = [h(pooled_term(pooled[d], qp, wp)) / max(seqsum(wp), f32(1e-4)) for d in range(n)]
        short = np.argsort(np.array(P, f32), kind="stable")[:cfg["kshort"]]
        total = max(seqsum(w[R0:R1, C0:C1]), f32(1))
        rows = [r for r in range(R0, R1) if np.any(w[r, C0:C1] != 0)]
        E = []
        for d in short:
            acc = f32(0)
            for r in rows:
                t = np.abs(T[qb[r, C0:C1].astype(int), canon[d][0][r, C0:C1].astype(int)])
                m = np.where(w[r, C0:C1] != 0, ((t[:, 0] + t[:, 1]) + t[:, 2]) / f32(3), f32(0))
                acc = f32(acc + seqsum(w[r, C0:C1] * h(m)))
            E.append(acc / total)
        by = short[np.argsort(np.array(E, f32), kind="stable")]
        a0 = apert[by[0]]
        sel = [int(d) for d in by[:cfg["cut"]] if abs(apert[d] - a0) <= cfg["aperture_tol"] * max(a0, 1e-6)][:cfg["K"]]
        return sel + [sel[-1]] * (cfg["K"] - len(sel))

    def push(self, i, frame, mask, given):
        s = self.shift(mask, given)
        rec = dict(i=i, frame=frame, s=s)
        if s:
            rec["qb"], rec["qm"] = self.query(frame, mask, s)
            rec["sel"] = self.retrieve(rec["qb"], rec["qm"])
        if self.pending is not None:
            self.out.append(self.emit(self.pending, rec.get("sel")))
        self.pending = rec

    def candidates(self, p, nxt):
        nxt = list(nxt[:self.cfg["lookahead"]]) if nxt is not None else []
        c = nxt + [d for d in p["sel"] if d not in nxt]
        if self.carried_from == p["i"] - 1 and self.carried:
            c, order = list(self.carried), c
            for d in order:
                if d not in c:
                    c.append(d)
        return c[:self.cfg["K"]]

    def emit(self, p, nxt):
        """The frame's window and the pixels the blend reached, and its candidates; None when skipped."""
        if p["s"] is None:
            return None
        s, qb, qm = p["s"], p["qb"], p["qm"]
        cand = self.candidates(p, nxt)
        q = qb.transpose(2, 0, 1).astype(f32) / f32(255)
        rows, cols = np.arange(WH)[:, None], np.arange(WW)[None, :]
        covered = np.logical_and.reduce([canon[d][1] for d in cand])
        valid = (cols >= C0) & (cols < C1) & (((rows >= R0) & (rows < R1)) | ((rows < R0) & (qm >= 128) & covered))
        qh = pool2(q)
        cw = [planes(*canon[d]) for d in cand]
        scores = []
        for pc in cw:
            ch = pool2(pc)
            diff = ((np.abs(ch[0] - qh[0]) + np.abs(ch[1] - qh[1])) + np.abs(ch[2] - qh[2])) / f32(3)
            x = np.concatenate([ch, qh, diff[None]]).astype(np.float64)
            x = np.maximum(conv3(x, head[0], head[1]), 0)
            x = np.maximum(conv3(x, head[2], head[3]), 0)
            scores.append(conv3(x, head[4], head[5])[0])
        e = np.exp(np.stack(scores) - np.max(scores, 0))
        wts = e / e.sum(0)
        sy = np.maximum(0, (np.arange(WH) + 0.5) * 0.5 - 0.5)
        sx = np.maximum(0, (np.arange(WW) + 0.5) * 0.5 - 0.5)
        y0, x0 = np.minimum(sy.astype(int), HH - 1), np.minimum(sx.astype(int), HW - 1)
        y1, x1 = np.minimum(y0 + 1, HH - 1), np.minimum(x0 + 1, HW - 1)
        fy, fx = (sy - y0)[:, None], (sx - x0)[None, :]
        up = (1 - fy) * ((1 - fx) * wts[:, y0][:, :, x0] + fx * wts[:, y0][:, :, x1]) + \
            fy * ((1 - fx) * wts[:, y1][:, :, x0] + fx * wts[:, y1][:, :, x1])
        blend = np.einsum("khw,kchw->chw", up, np.stack(cw).astype(np.float64))
        m = qm.astype(f32) / f32(255)
        val = np.clip((f32(1) - m) * q + m * np.where(valid[None], blend, q).astype(f32), 0, 1)
        O = np.rint(f32(255) * val).astype(np.uint8).transpose(1, 2, 0)
        # Moved back by the shift onto the stamp's window; what it does not cover stays the frame's.
        win = p["frame"][WY:WY + WH, WX:WX + WW].copy()
        touched = np.zeros((WH, WW), np.uint8)
        rr, cc = np.arange(WH) + s[0], np.arange(WW) + s[1]
        ry, cx = (rr >= 0) & (rr < WH), (cc >= 0) & (cc < WW)
        win[np.ix_(rr[ry], cc[cx])] = O[np.ix_(ry, cx)]
        touched[np.ix_(rr[ry], cc[cx])] = (valid & (qm > 0))[np.ix_(ry, cx)]
        by = np.argsort(-up.reshape(len(cand), -1).sum(1), kind="stable")
        self.carried, self.carried_from = [cand[k] for k in by[:self.cfg["hysteresis"]]], p["i"]
        return win, touched, cand


# --- the frames: the bundle's face with an open mouth, bright teeth in its upper half ---
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "forge"))
from director import face_image  # noqa: E402

face = np.round(face_image(CW).transpose(1, 2, 0) * 255).astype(np.uint8)
rng = np.random.default_rng(3)
yy, xx = np.mgrid[0:CH, 0:CW]
# (opening rows, centre offset x, y, teeth on): frame 2 has no mouth, frame 4 sits too far away
plan = [(5, 0, 0, 1), (6, 1, 1, 1), (0, 0, 0, 0), (7, -1, 1, 1), (6, 0, 3 * PAD + 4, 1), (4, 2, 0, 0), (6, 0, -1, 1),
        (7, -1, 0, 1), (5, 1, 1, 1), (6, 0, 0, 1)]
frames, masks = np.stack([face] * len(plan)), np.zeros((len(plan), CH, CW), np.uint8)
for f, mk, (op, dx, dy, teeth) in zip(frames, masks, plan):
    if op:
        cx, cy = ref[0] + dx, ref[1] + dy
        r = np.sqrt(((xx - cx) / 20.0) ** 2 + ((yy - cy) / op) ** 2)
        mk[:] = np.clip((1.4 - r) / 0.4 * 255, 0, 255).astype(np.uint8)
        f[r < 1.0] = (np.array([40, 12, 14]) + rng.integers(0, 12, (CH, CW, 3)))[r < 1.0]
        if teeth:
            t = (r < 1.0) & (yy < cy) & (np.abs(xx - cx) < 15)
            f[t] = (np.array([226, 220, 212]) + rng.integers(-8, 8, (CH, CW, 3)))[t]


def save(name, a, dtype=np.uint8):
    np.asarray(a, dtype).tofile(os.path.join(out, name))


os.makedirs(out, exist_ok=True)
save("frames.u8", frames)
save("masks.u8", masks)
member = json.load(open(os.path.join(bundle, "tessera_head.v1.json")))
small = json.loads(json.dumps(member))
small["retrieval"].update(K=6, kshort=10, cut=8)
small["temporal"].update(hysteresis=3, lookahead=3)
given = [None, None, None, None, None, (1, -1), (PAD + 1, 0), None, (0, 2), None]
for case, cfgj, shifts in (("run", small, [None] * len(plan)), ("shift", member, given)):
    ps = Pass(dict({"kshort": 512}, **cfgj["retrieval"], **cfgj["temporal"]))
    for k in range(len(plan)):
        ps.push(k, frames[k], masks[k], shifts[k])
    res = ps.out + [ps.emit(ps.pending, None)]
    json.dump(cfgj, open(os.path.join(out, case + "_head.json"), "w"))
    save(case + "_shifts.i32", [s if s else (-10000, 0) for s in shifts], np.int32)
    save(case + "_windows.u8", [r[0] if r else np.zeros((WH, WW, 3)) for r in res])
    save(case + "_blended.u8", [r[1] if r else np.zeros((WH, WW)) for r in res])
    save(case + "_status.i32", [r is None for r in res], np.int32)
    save(case + "_cands.i32", sum(([len(r[2])] + r[2] if r else [0] for r in res), []), np.int32)
