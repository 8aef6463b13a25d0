"""Double-precision reference of the compose geometry, written from its
description: the pi ellipses and gate, the lip polygon, the scanline fill,
the 3x3 chamfer distance, the feather and the delivered mask.

usage: geometry_reference.py MANIFEST TEMPLATE CANVAS OUT_DIR [plate]
Writes frames.f32 (the keypoint frames it used) and per frame f the
lip/gate alphas, pi and delivered u8 masks, the polygon, its box, the raster
and the feathered contour."""
import json
import sys

import numpy as np

manifest, template, canvas, out = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
plate = len(sys.argv) > 5
pi = json.load(open(manifest))["unified"]["pi"]
t = json.load(open(template))
lip_idx = pi["lip_idx"]
pad_x, pad_y, down = pi["lip_geom_params"]
gate_scale = pi["prop_gate_scale"]
feather = t["feather_px"]
u = np.array(t["u_canon"], np.float64)
lmap = None if plate else t.get("lip_map")


def smooth(v):
    v = np.minimum(v, 1.0)
    return np.where(v < 0, 0.0, (3 - 2 * v) * v * v)


def u8(v):
    return np.where(v > 0, np.rint(np.minimum(v, 1.0) * 255), 0).astype(np.uint8)


coords = 2.0 * np.arange(canvas) / (canvas - 1) - 1.0
X, Y = np.meshgrid(coords, coords)


def ellipse(kp, px, py, mn, scale, dy):
    lip = kp[lip_idx, :2].astype(np.float64)
    c = lip.mean(0)
    e = np.abs(lip - c).max(0)
    rx = max(e[0] + px if px != 0 else e[0], mn) * scale
    ry = max(e[1] + py if py != 0 else e[1], mn) * scale
    return c[0], c[1] + dy, rx, ry


def alpha(cx, cy, rx, ry):
    s = np.sqrt(rx * ry) * 256
    r = np.sqrt(((X - cx) / rx) ** 2 + ((Y - cy) / ry) ** 2)
    return smooth((1 - r) * s / 10)


def ell_box(cx, cy, rx, ry):
    h = (canvas - 1) * 0.5
    x0 = max(int(np.floor((cx - rx + 1) * h)) - 1, 0)
    y0 = max(int(np.floor((cy - ry + 1) * h)) - 1, 0)
    x1 = max(min(int(np.ceil((cx + rx + 1) * h)) + 2, canvas), x0)
    y1 = max(min(int(np.ceil((cy + ry + 1) * h)) + 2, canvas), y0)
    return x0, y0, x1, y1


def polygon(kp):
    p = (kp[:, :2].astype(np.float64) + 1) * canvas * 0.5
    c = p[t["lip_idx"]].mean(0)
    if lmap:
        d = np.concatenate([p[r] - c for r in lmap["lip_idx"]])
        flat = np.tile(c, len(u)) + np.array(lmap["b"]) + np.array(lmap["W"]) @ d
        return flat.reshape(-1, 2)
    s = np.maximum(np.abs(p[t["lip_idx"]] - c).max(0), 1e-6)
    return u * s + c


def bresenham(x0, y0, x1, y1):
    dx, dy = abs(x1 - x0), -abs(y1 - y0)
    sx, sy = (1 if x0 < x1 else -1), (1 if y0 < y1 else -1)
    err = dx + dy
    while True:
        yield x0, y0
        if x0 == x1 and y0 == y1:
            return
        e2 = 2 * err
        if e2 >= dy:
            err += dy
            x0 += sx
        if e2 <= dx:
            err += dx
            y0 += sy


def tdiv(a, b):
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b > 0) else -q


def raster_of(poly, box):
    x0, y0, x1, y1 = box
    w, h = x1 - x0, y1 - y0
    r = np.zeros((h, w), np.uint8)
    v = [(int(np.rint(x)) - x0, int(np.rint(y)) - y0) for x, y in poly]
    n = len(v)
    for i in range(n):
        for x, y in bresenham(*v[i - 1], *v[i]):
            if 0 <= x < w and 0 <= y < h:
                r[y, x] = 255
    edges = []
    for i in range(n):
        a, b = v[i - 1], v[i]
        if a[1] == b[1]:
            continue
        if a[1] > b[1]:
            a, b = b, a
        edges.append((a[1], b[1], a[0] * 65536, tdiv((b[0] - a[0]) * 65536, b[1] - a[1])))
    for row in range(h):
        xs = sorted(e[2] + (row - e[0]) * e[3] for e in edges if e[0] <= row < e[1])
        for k in range(0, len(xs) - 1, 2):
            lo, hi = max((xs[k] + 65535) >> 16, 0), min(xs[k + 1] >> 16, w - 1)
            if lo <= hi:
                r[row, lo:hi + 1] = 255
    return r


def chamfer(r):
    h, w = r.shape
    d = np.where(r > 0, 0.0, 1e10).astype(np.float32)
    a, b = np.float32(0.955), np.float32(1.3693)
    for y in range(h):
        for x in range(w):
            m = d[y, x]
            if x > 0: m = min(m, d[y, x - 1] + a)
            if y > 0:
                m = min(m, d[y - 1, x] + a)
                if x > 0: m = min(m, d[y - 1, x - 1] + b)
                if x + 1 < w: m = min(m, d[y - 1, x + 1] + b)
            d[y, x] = m
    for y in range(h - 1, -1, -1):
        for x in range(w - 1, -1, -1):
            m = d[y, x]
            if x + 1 < w: m = min(m, d[y, x + 1] + a)
            if y + 1 < h:
                m = min(m, d[y + 1, x] + a)
                if x + 1 < w: m = min(m, d[y + 1, x + 1] + b)
                if x > 0: m = min(m, d[y + 1, x - 1] + b)
            d[y, x] = m
    return d


rng = np.random.default_rng(3)
base = np.fromfile(sys.argv[1].rsplit("/", 1)[0] + "/xs_target.bin", np.float32).reshape(-1, 21, 3)[0]
frames = []
for k, opening in enumerate((0.0, 0.04, 0.09, 0.15)):
    kp = base.copy()
    kp[[14, 19], 1] -= opening / 2
    kp[[17, 20], 1] += opening / 2
    kp[:, :2] += rng.normal(0, 0.006, (21, 2)) * (k > 1)  # a little asymmetry
    frames.append(kp)
frames = np.stack(frames).astype(np.float32)
frames.tofile(out + "/frames.f32")
for f, kp in enumerate(frames):
    lip_e = ellipse(kp, pad_x, pad_y, 0.1, 1.0, down)
    gate_e = ellipse(kp, 0, 0, 0.004, gate_scale, 0.0)
    ey = np.abs(kp[lip_idx, 1] - kp[lip_idx, 1].astype(np.float64).mean()).max()
    g = float(smooth(np.array((ey - 0.02) / 0.01)))
    lip_a, gate_a = alpha(*lip_e), g * alpha(*gate_e)
    pi_f = np.maximum(lip_a, gate_a)
    lip_a.astype(np.float32).tofile("%s/lip_%d.f32" % (out, f))
    gate_a.astype(np.float32).tofile("%s/gate_%d.f32" % (out, f))
    u8(pi_f).tofile("%s/pi_%d.u8" % (out, f))
    poly = polygon(kp)
    poly.astype(np.float64).tofile("%s/poly_%d.f64" % (out, f))
    pad = feather + 2
    bx0, by0 = max(int(np.floor(poly[:, 0].min() - pad)), 0), max(int(np.floor(poly[:, 1].min() - pad)), 0)
    bx1 = max(min(int(np.ceil(poly[:, 0].max() + pad)) + 1, canvas), bx0)
    by1 = max(min(int(np.ceil(poly[:, 1].max() + pad)) + 1, canvas), by0)
    np.array([bx0, by0, bx1, by1], np.int32).tofile("%s/box_%d.i32" % (out, f))
    r = raster_of(poly, (bx0, by0, bx1, by1))
    r.tofile("%s/raster_%d.u8" % (out, f))
    contour = np.zeros((canvas, canvas))
    contour[by0:by1, bx0:bx1] = smooth(1 - chamfer(r).astype(np.float64) / feather)
    contour.astype(np.float32).tofile("%s/contour_%d.f32" % (out, f))
    lb, gb = ell_box(*lip_e), ell_box(*gate_e)
    sx0, sy0, sx1, sy1 = min(lb[0], gb[0]), min(lb[1], gb[1]), max(lb[2], gb[2]), max(lb[3], gb[3])
    ix0, iy0, ix1, iy1 = max(sx0, bx0), max(sy0, by0), min(sx1, bx1), min(sy1, by1)
    deliv = np.zeros((canvas, canvas), np.uint8)
    if ix1 > ix0 and iy1 > iy0:
        c, p = contour[iy0:iy1, ix0:ix1], pi_f[iy0:iy1, ix0:ix1]
        deliv[iy0:iy1, ix0:ix1] = np.where(c > 0, u8(np.minimum(c, p)), 0)
    deliv.tofile("%s/deliv_%d.u8" % (out, f))
