"""Reference of the teeth pass, written from its description in numpy: the
half-precision difference table, the pooled and exact distances, the stable
orders, the selection by aperture with repetition, the candidates with carry
and look-ahead, the blend head's convolutions, the softmax, the bilinear
upsample and the blend. The distances emulate half precision in float32 as
the pass does; the head runs in float64.

usage: teeth_reference.py BUNDLE OUT_DIR
Makes a sequence of frames and masks on the bundle's canvas and writes, per
case (run: shifts from the masks, a small K; shift: some shifts given, the
member's own config): frames.u8, masks.u8, <case>_shifts.i32, <case>_head.json,
<case>_windows.u8, <case>_status.i32, <case>_cands.i32 (per frame a count
then the donors), <case>_blended.u8 (window pixels the head's blend reaches)."""
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
n = side["n_donors"]
ref = np.array(side["c_canon"], np.float64)
apert = np.array(side["aperture"], np.float64)
cent = np.array(side["cent"], np.float64)

# The bank in donor order, decoded by the ffmpeg command line.
raw = subprocess.run(["ffmpeg", "-v", "error", "-i", os.path.join(bundle, "tessera_bank.v1.mp4"), "-f", "rawvideo",
                      "-pix_fmt", "rgb24", "-"], check=True, capture_output=True).stdout
track = np.frombuffer(raw, np.uint8).reshape(n, SH, SW, 3)
bank = np.zeros_like(track)
bank[side["track_order"]] = track

sd = torch.load(os.path.join(bundle, "tessera_head.v1.pt"), map_location="cpu")
head = [sd[k].double().numpy() for k in ("cand.0.weight", "cand.0.bias", "cand.2.weight", "cand.2.bias",
                                         "cand.4.weight", "cand.4.bias")]


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
    PH, PW = WH // 4, WW // 4
    acc = np.zeros(p.shape[:-2] + (PH, PW), f32)
    for dy in range(4):
        for dx in range(4):
            acc = acc + p[..., dy:4 * PH:4, dx:4 * PW:4]
    return h(acc / f32(16))


def seqsum(v):
    return np.cumsum(np.asarray(v, f32).ravel(), dtype=f32)[-1] if np.size(v) else f32(0)


canon = [canonical(d) for d in range(n)]
pooled = [pool4(planes(*canon[d])) for d in range(n)]


def pooled_term(a, b, w):
    d = np.abs(h(a - b))
    m = h(((d[0] + d[1]) + d[2]) / f32(3))
    return seqsum(h(w * m))


class Pass:
    def __init__(self, cfg):
        self.cfg = cfg
        self.prev_w = None
        self.carried = []
        self.carried_from = -2
        self.pending = None

    def shift(self, mask, given):
        if given is not None:
            return (tuple(given), None) if max(abs(given[0]), abs(given[1])) <= PAD else (None, "shift-out-of-range")
        ys, xs = np.nonzero(mask >= 128)
        if len(ys) == 0:
            return None, "empty-pi"
        s = (int(np.rint(ys.mean() - ref[1])), int(np.rint(xs.mean() - ref[0])))
        return (s, None) if max(abs(s[0]), abs(s[1])) <= PAD else (None, "shift-out-of-range")

    def query(self, frame, mask, s):
        r = WY + s[0] + np.arange(WH)[:, None]
        c = WX + s[1] + np.arange(WW)[None, :]
        on = (r >= 0) & (r < CH) & (c >= 0) & (c < CW)
        rr, cc = np.clip(r, 0, CH - 1), np.clip(c, 0, CW - 1)
        qb = frame[rr, cc] * on[..., None]
        qm = mask[rr, cc] * on
        return qb.astype(np.uint8), qm.astype(np.uint8)

    def retrieve(self, frame, mask, s):
        cfg = self.cfg
        qb, qm = self.query(frame, mask, s)
        q = qb.transpose(2, 0, 1).astype(f32) / f32(255)
        R, G, B = (qb[..., i].astype(np.float64) for i in range(3))
        luma = 0.299 * R + 0.587 * G + 0.114 * B
        w = ((qm >= 128) & (luma >= 100.0) & (np.abs(G - R) < 25)).astype(f32)
        if w.sum() < 32:
            w = (qm >= 128).astype(f32)
        if self.prev_w is not None:
            w = np.maximum(w, f32(0.6) * self.prev_w)
        self.prev_w = w
        qp, wp = pool4(q), pool4(w)
        P = np.array([h(pooled_term(pooled[d], qp, wp)) / max(seqsum(wp), f32(1e-4)) for d in range(n)], f32)
        order = np.argsort(P, kind="stable")
        short = order[:min(cfg["kshort"], n)]
        band = w[R0:R1, C0:C1]
        total = seqsum(band)
        total = f32(1) if total < 1 else total
        rows = [r for r in range(R0, R1) if np.any(w[r, C0:C1] != 0)]
        E = []
        for d in short:
            img, _ = canon[d]
            acc = f32(0)
            for r in rows:
                qq, dd, ww = qb[r, C0:C1].astype(int), img[r, C0:C1].astype(int), w[r, C0:C1]
                m = ((np.abs(T[qq[:, 0], dd[:, 0]]) + np.abs(T[qq[:, 1], dd[:, 1]])) + np.abs(T[qq[:, 2], dd[:, 2]]))
                m = np.where(ww != 0, m / f32(3), f32(0))
                acc = f32(acc + seqsum(ww * h(m)))
            E.append(acc / total)
        by = short[np.argsort(np.array(E, f32), kind="stable")]
        best = by[0]
        a0 = apert[best]
        tol = cfg["aperture_tol"] * max(a0, 1e-6)
        sel = []
        for d in by[:min(len(by), cfg["cut"])]:
            if len(sel) < cfg["K"] and abs(apert[d] - a0) <= tol:
                sel.append(int(d))
        if not sel:
            sel = [int(best)]
        sel += [sel[-1]] * (cfg["K"] - len(sel))
        return sel

    def push(self, i, frame, mask, given):
        s, reason = self.shift(mask, given)
        rec = dict(i=i, frame=frame, mask=mask, s=s, reason=reason, sel=self.retrieve(frame, mask, s) if s else None)
        res = None
        if self.pending is not None:
            res = self.emit(self.pending, rec["sel"])
        self.pending = rec
        return res

    def flush(self):
        res = self.emit(self.pending, None) if self.pending is not None else None
        self.pending = None
        return res

    def candidates(self, p, nxt):
        K, look = self.cfg["K"], self.cfg["lookahead"]
        nxt = list(nxt[:look]) if nxt is not None else []
        cur = p["sel"]
        if self.carried_from == p["i"] - 1 and self.carried:
            c = list(self.carried)
            for d in nxt:
                if d not in c:
                    c.append(d)
            for d in cur:
                if d not in nxt and d not in c:
                    c.append(d)
        else:
            c = nxt + [d for d in cur if d not in nxt]
        return c[:K]

    def emit(self, p, nxt):
        if p["s"] is None:
            return dict(i=p["i"], skipped=True, reason=p["reason"])
        s = p["s"]
        cand = self.candidates(p, nxt)
        qb, qm = self.query(p["frame"], p["mask"], s)
        q = qb.transpose(2, 0, 1).astype(f32) / f32(255)
        valid = np.zeros((WH, WW), bool)
        valid[R0:R1, C0:C1] = True
        covered = np.logical_and.reduce([canon[d][1] for d in cand])
        above = np.zeros((WH, WW), bool)
        above[:R0, C0:C1] = True
        valid |= above & (qm >= 128) & covered
        HH, HW = WH // 2, WW // 2

        def pool2(p2):
            a = p2[..., 0:2 * HH:2, 0:2 * HW:2], p2[..., 0:2 * HH:2, 1:2 * HW:2]
            b = p2[..., 1:2 * HH:2, 0:2 * HW:2], p2[..., 1:2 * HH:2, 1:2 * HW:2]
            return (((a[0] + a[1]) + b[0]) + b[1]) * f32(0.25)

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
        S = np.stack(scores)
        e = np.exp(S - S.max(0))
        wts = e / e.sum(0)
        sy = np.maximum(0, (np.arange(WH) + 0.5) * 0.5 - 0.5)
        sx = np.maximum(0, (np.arange(WW) + 0.5) * 0.5 - 0.5)
        y0 = np.minimum(sy.astype(int), HH - 1)
        x0 = np.minimum(sx.astype(int), HW - 1)
        y1, x1 = np.minimum(y0 + 1, HH - 1), np.minimum(x0 + 1, HW - 1)
        fy, fx = (sy - y0)[:, None], (sx - x0)[None, :]
        up = (1 - fy) * ((1 - fx) * wts[:, y0][:, :, x0] + fx * wts[:, y0][:, :, x1]) + \
            fy * ((1 - fx) * wts[:, y1][:, :, x0] + fx * wts[:, y1][:, :, x1])
        blend = np.einsum("khw,kchw->chw", up, np.stack(cw).astype(np.float64))
        blended = np.where(valid[None], blend, q).astype(f32)
        m = qm.astype(f32) / f32(255)
        val = np.clip((f32(1) - m) * q + m * blended, 0, 1)
        O = np.rint(f32(255) * val).astype(np.uint8).transpose(1, 2, 0)
        # Moved back by the shift onto the stamp's window; what it does not cover stays the frame's.
        win = p["frame"][WY:WY + WH, WX:WX + WW].copy()
        touched = np.zeros((WH, WW), np.uint8)
        rr, cc = np.arange(WH) + s[0], np.arange(WW) + s[1]
        ry, cx = (rr >= 0) & (rr < WH), (cc >= 0) & (cc < WW)
        win[np.ix_(rr[ry], cc[cx])] = O[np.ix_(ry, cx)]
        touched[np.ix_(rr[ry], cc[cx])] = (valid & (qm > 0))[np.ix_(ry, cx)]
        totals = up.reshape(len(cand), -1).sum(1)
        by = np.argsort(-totals, kind="stable")
        self.carried = [cand[k] for k in by[:self.cfg["hysteresis"]]]
        self.carried_from = p["i"]
        return dict(i=p["i"], skipped=False, window=win, cand=cand, touched=touched)


def conv3(x, w, b):
    H, W = x.shape[1:]
    xp = np.pad(x, ((0, 0), (1, 1), (1, 1)))
    o = np.broadcast_to(b[:, None, None], (w.shape[0], H, W)).copy()
    for ky in range(3):
        for kx in range(3):
            o += np.einsum("oi,ihw->ohw", w[:, :, ky, kx], xp[:, ky:ky + H, kx:kx + W])
    return o


# --- the frames: the bundle's face with an open mouth, bright teeth in its upper half ---
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "forge"))
from director import face_image  # noqa: E402

face = np.round(face_image(CW).transpose(1, 2, 0) * 255).astype(np.uint8)
rng = np.random.default_rng(3)
yy, xx = np.mgrid[0:CH, 0:CW]
# (opening rows, centre offset x, y, teeth on): frame 2 has no mouth, frame 4 sits too far away
plan = [(5, 0, 0, 1), (6, 1, 1, 1), (0, 0, 0, 0), (7, -1, 1, 1), (6, 0, 3 * PAD + 4, 1), (4, 2, 0, 0), (6, 0, -1, 1),
        (7, -1, 0, 1), (5, 1, 1, 1), (6, 0, 0, 1)]
frames, masks = [], []
for k, (op, dx, dy, teeth) in enumerate(plan):
    f = face.copy()
    mk = np.zeros((CH, CW), np.uint8)
    if op:
        cx, cy = ref[0] + dx, ref[1] + dy
        r = np.sqrt(((xx - cx) / 20.0) ** 2 + ((yy - cy) / op) ** 2)
        mk = np.clip((1.4 - r) / 0.4 * 255, 0, 255).astype(np.uint8)
        inner = r < 1.0
        dark = np.array([40, 12, 14]) + rng.integers(0, 12, (CH, CW, 3))
        f[inner] = dark[inner]
        if teeth:
            t = inner & (yy < cy) & (np.abs(xx - cx) < 15)
            f[t] = (np.array([226, 220, 212]) + rng.integers(-8, 8, (CH, CW, 3)))[t]
    frames.append(f)
    masks.append(mk)
frames, masks = np.stack(frames), np.stack(masks)
os.makedirs(out, exist_ok=True)
frames.tofile(os.path.join(out, "frames.u8"))
masks.tofile(os.path.join(out, "masks.u8"))
member = json.load(open(os.path.join(bundle, "tessera_head.v1.json")))
small = json.loads(json.dumps(member))
small["retrieval"].update(K=6, kshort=10, cut=8)
small["temporal"].update(hysteresis=3, lookahead=3)
given = [None, None, None, None, None, (1, -1), (PAD + 1, 0), None, (0, 2), None]
for case, cfgj, shifts in (("run", small, [None] * len(plan)), ("shift", member, given)):
    cfg = dict(cfgj["retrieval"], **cfgj["temporal"])
    cfg.setdefault("kshort", 512)
    ps = Pass(cfg)
    results = [ps.push(k, frames[k], masks[k], shifts[k]) for k in range(len(plan))] + [ps.flush()]
    results = [r for r in results if r is not None]
    wins = np.zeros((len(plan), WH, WW, 3), np.uint8)
    touched = np.zeros((len(plan), WH, WW), np.uint8)
    status, cands = [], []
    for k, r in enumerate(results):
        status.append(1 if r["skipped"] else 0)
        if not r["skipped"]:
            wins[k], touched[k] = r["window"], r["touched"]
        c = r.get("cand", [])
        cands += [len(c)] + list(c)
    json.dump(cfgj, open(os.path.join(out, case + "_head.json"), "w"))
    np.array([s if s else (-10000, 0) for s in shifts], np.int32).tofile(os.path.join(out, case + "_shifts.i32"))
    wins.tofile(os.path.join(out, case + "_windows.u8"))
    touched.tofile(os.path.join(out, case + "_blended.u8"))
    np.array(status, np.int32).tofile(os.path.join(out, case + "_status.i32"))
    np.array(cands, np.int32).tofile(os.path.join(out, case + "_cands.i32"))
