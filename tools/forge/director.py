"""Director models: ONNX graphs with the structure the engine is written for.

There is no trained director here, so the forge builds one from ordinary
opset-16 nodes whose layout is the one every load-time rewrite and custom
operator of the engine looks for. Weights are fixed and seeded; the output
depends smoothly on every input.

P_rgb layout (model_render.onnx, model_b4.onnx, model_b24_fp32.onnx), B fixed:

  inputs   pooled64 [B,64,32,32]  P_rgb [B,3,crop,crop]
           kp_driving [B,21,3]    kp_source [B,21,3]
  output   rgb [B,3,crop,crop] in 0..1

  grid     d = kd - ks (x, y). A Gaussian field over the driving keypoints
           (tighter around the lip rows, so opening lips part),
           D(p) = sum_k w_k(p) d_k / max(1, sum_k w_k(p)), is built on a 32x32
           lattice (MatMul of weights and displacements), resized linearly to
           the crop and subtracted from the identity grid: the pixel at a
           driven keypoint samples the source at the source keypoint. Rows
           that do not move contribute exactly nothing.
  cone     P_rgb, edge Pad, three depthwise 3x3 Convs (Dxx, Dyy, Dxxyy) and
           one Concat [P_rgb, Dxx, Dyy, Dxxyy] -> the 12-channel tip.
  warp     GridSample(tip, grid; bilinear, border, align_corners 0), four
           Slices, out = (ax*ay)*Dxxyy + ((f - ax*Dxx) - ay*Dyy) with
           ax = ((1-tx)*tx)*0.5, tx the fraction of the unclamped x sample
           position (ay likewise), both computed from the grid. Only
           AveragePool and Concat read the result.
  head     pooled64 -> MatMul "/s2/blend" [B*1024,64]x[64,8] -> Tanh -> resized
           to crop/2, joined with the warped image pooled 2x2 -> Conv3x3 ->
           Tanh -> cubic x2 Resize (half_pixel, scales [1,1,2,2]) -> Conv1x1 ->
           Tanh = r; face = Clip(Conv1x1([warped, r]), 0, 1) = warped + small r.
  compose  the mouth interior: an ellipse between the lip rows as tall as the
           lip gap beyond closed, alpha = Clip((1 - r_ell) * depth, 0, 1), depth
           0 for closed lips and growing with the opening;
           rgb = Add(Mul(face*tint, alpha), Mul(face, Sub(1.0, alpha))).

FeatSynth layout: inputs fs_red [B,64,64,64], pooled [B,64,32,32], kd, ks.
The source is Sigmoid(Conv1x1(fs_red)) resized to the crop, warped by a plain
GridSample with the same grid, then the same head; rgb is the face itself
(no compose tail, so no lip-contour input can be bound to it).
"""
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 16
KP_ROWS = 21
LIP_ROWS = (6, 12, 14, 17, 19, 20)
SIGMA = 0.12  # keypoint field radius, normalised crop units
LATTICE = 32  # side of the keypoint field before it is resized to the crop
FEAT = 8  # channels of the student-blend features
RESIDUAL = 0.03  # weight of the head's residual on the warped source
TINT = (0.16, 0.05, 0.06)  # mouth interior relative to the face
CLOSED_GAP = 0.13  # lip-row gap (lower minus upper y) of closed lips, with a little slack
FULL_OPENING = 0.08  # gap beyond closed at which the interior is fully dark
MOUTH_WIDTH = 1.2  # interior width relative to the corner span: it over-covers the corners, as an ellipse does
LIP_SIGMA = 0.07  # the lip rows move a tighter neighbourhood than the rest of the face


class Graph:
    """Collects nodes and initializers with generated value names."""

    def __init__(self, name):
        self.name = name
        self.nodes = []
        self.inits = []
        self.n = 0

    def fresh(self, stem):
        self.n += 1
        return "%s_%d" % (stem, self.n)

    def const(self, stem, value, dtype=np.float32):
        name = self.fresh(stem)
        self.inits.append(numpy_helper.from_array(np.asarray(value, dtype), name))
        return name

    def f(self, value):
        return self.const("c", value)

    def i64(self, value):
        return self.const("i", value, np.int64)

    def op(self, op_type, inputs, name=None, outputs=None, **attrs):
        outs = outputs or [self.fresh(op_type.lower())]
        self.nodes.append(helper.make_node(op_type, inputs, outs, name=name or self.fresh("/" + op_type), **attrs))
        return outs[0]

    def slice(self, x, start, end, axis):
        return self.op("Slice", [x, self.i64([start]), self.i64([end]), self.i64([axis])])

    def conv(self, x, w, b=None, **attrs):
        inputs = [x, self.f(w)] + ([self.f(b)] if b is not None else [])
        return self.op("Conv", inputs, **attrs)


def identity_grid(crop):
    """[1, crop, crop, 2] sampling positions of the pixel centres (align_corners 0)."""
    c = (2.0 * np.arange(crop) + 1.0) / crop - 1.0
    gx, gy = np.meshgrid(c, c)
    return np.stack([gx, gy], -1)[None].astype(np.float32)


def keypoint_grid(g, kd, ks, crop, rows=KP_ROWS):
    """Per-frame sampling grid [B, crop, crop, 2] from the keypoint displacements."""
    sigma = np.full(rows, SIGMA)
    sigma[[r for r in LIP_ROWS if r < rows]] = LIP_SIGMA
    disp = g.slice(g.op("Sub", [kd, ks]), 0, 2, 2)  # [B,K,2]
    at = g.op("Unsqueeze", [g.slice(kd, 0, 2, 2), g.i64([1])])  # [B,1,K,2]
    lattice = identity_grid(LATTICE).reshape(1, LATTICE * LATTICE, 1, 2)
    d = g.op("Sub", [g.f(lattice), at])  # [B,L,K,2]
    r2 = g.op("ReduceSum", [g.op("Mul", [d, d]), g.i64([3])], keepdims=0)  # [B,L,K]
    w = g.op("Exp", [g.op("Mul", [r2, g.f(-0.5 / sigma ** 2)])])
    num = g.op("MatMul", [w, disp])  # [B,L,2]
    den = g.op("Max", [g.op("ReduceSum", [w, g.i64([2])], keepdims=1), g.f(1.0)])
    field = g.op("Reshape", [g.op("Div", [num, den]), g.i64([-1, LATTICE, LATTICE, 2])])
    field = g.op("Transpose", [field], perm=[0, 3, 1, 2])
    field = g.op("Resize", [field, "", g.f([1, 1, crop / LATTICE, crop / LATTICE])], mode="linear",
                 coordinate_transformation_mode="half_pixel")
    field = g.op("Transpose", [field], perm=[0, 2, 3, 1])
    return g.op("Sub", [g.f(identity_grid(crop)), field], outputs=["grid"])


def second_differences():
    """Depthwise 3x3 kernels [3,1,3,3] of Dxx, Dyy and the mixed Dxxyy."""
    d = np.array([1.0, -2.0, 1.0])
    e = np.array([0.0, 1.0, 0.0])
    return [np.tile(k[None, None], (3, 1, 1, 1)).astype(np.float32)
            for k in (np.outer(e, d), np.outer(d, e), np.outer(d, d))]


def source_cone(g, src, pad_src=None):
    """[P_rgb, Dxx, Dyy, Dxxyy] per channel, edge-replicated: the 12-channel tip. The
    differences are taken of pad_src when given (a cone that reads more than the source)."""
    padded = g.op("Pad", [pad_src or src, g.i64([0, 0, 1, 1, 0, 0, 1, 1])], mode="edge")
    planes = [g.conv(padded, k, group=3, kernel_shape=[3, 3]) for k in second_differences()]
    return g.op("Concat", [src] + planes, axis=1, outputs=["cone_tip"])


def correction(g, grid, axis, size):
    """((1 - t) * t) * 0.5, t the fraction of the unclamped sample position on one axis."""
    gc = g.op("Transpose", [g.slice(grid, axis, axis + 1, 3)], perm=[0, 3, 1, 2])  # [B,1,C,C]
    pos = g.op("Mul", [g.op("Sub", [g.op("Mul", [g.op("Add", [gc, g.f(1.0)]), g.f(float(size))]), g.f(1.0)]),
                       g.f(0.5)])
    t = g.op("Sub", [pos, g.op("Floor", [pos])])
    return g.op("Mul", [g.op("Mul", [g.op("Sub", [g.f(1.0), t]), t]), g.f(0.5)])


def warp_block(g, tip, grid, crop, height=None):
    """Cubic-corrected bilinear sample of the source through its second differences
    (crop wide, height or crop high)."""
    ax = correction(g, grid, 0, crop)
    ay = correction(g, grid, 1, height or crop)
    axay = g.op("Mul", [ax, ay])
    s = g.op("GridSample", [tip, grid], mode="bilinear", padding_mode="border", align_corners=0)
    f, dxx, dyy, dxxyy = (g.slice(s, 3 * i, 3 * i + 3, 1) for i in range(4))
    t = g.op("Sub", [g.op("Sub", [f, g.op("Mul", [ax, dxx])]), g.op("Mul", [ay, dyy])])
    return g.op("Add", [g.op("Mul", [axay, dxxyy]), t], outputs=["warped"])


def head(g, warped, pooled, crop, rng):
    """Student-blend features and the cubic x2 head: face = warped + small residual."""
    half = crop // 2
    small = g.op("AveragePool", [warped], kernel_shape=[2, 2], strides=[2, 2])
    rows = g.op("Reshape", [g.op("Transpose", [pooled], perm=[0, 2, 3, 1]), g.i64([-1, 64])])
    blend = g.op("MatMul", [rows, g.f(rng.normal(0, 0.25, (64, FEAT)))], name="/s2/blend")
    feat = g.op("Reshape", [blend, g.i64([-1, LATTICE, LATTICE, FEAT])])
    feat = g.op("Tanh", [g.op("Transpose", [feat], perm=[0, 3, 1, 2])])
    feat = g.op("Resize", [feat, "", g.f([1, 1, half / LATTICE, half / LATTICE])], mode="linear",
                coordinate_transformation_mode="half_pixel")
    h = g.conv(g.op("Concat", [small, feat], axis=1), rng.normal(0, 0.2, (FEAT, 3 + FEAT, 3, 3)),
               rng.normal(0, 0.1, FEAT), kernel_shape=[3, 3], pads=[1, 1, 1, 1])
    up = g.op("Resize", [g.op("Tanh", [h]), "", g.f([1, 1, 2, 2])], name="/head/Resize", mode="cubic",
              coordinate_transformation_mode="half_pixel")
    r = g.op("Tanh", [g.conv(up, rng.normal(0, 0.5, (3, FEAT, 1, 1)), rng.normal(0, 0.1, 3))])
    fuse = np.concatenate([np.eye(3), RESIDUAL * np.eye(3)], 1)[:, :, None, None]
    face = g.conv(g.op("Concat", [warped, r], axis=1), fuse)
    return g.op("Clip", [face, g.f(0.0), g.f(1.0)], outputs=["face"])


def mouth_alpha(g, kd, crop):
    """The open mouth's interior, [B,1,crop,crop], produced by a Clip: an ellipse
    between the lip rows whose height is the lip gap beyond its closed width. Closed
    lips give exactly 0; the ramp from the rim makes a soft edge and a darker centre."""
    def mean_of(rows, col):
        picked = g.op("Gather", [g.slice(kd, col, col + 1, 2), g.i64(list(rows))], axis=1)  # [B,n,1]
        return g.op("Unsqueeze", [g.op("ReduceMean", [picked], axes=[1], keepdims=1), g.i64([3])])  # [B,1,1,1]

    upper, lower = mean_of(UPPER_LIP, 1), mean_of(LOWER_LIP, 1)
    left, right = mean_of((6,), 0), mean_of((12,), 0)
    opening = g.op("Max", [g.op("Sub", [g.op("Sub", [lower, upper]), g.f(CLOSED_GAP)]), g.f(0.0)])
    cx = g.op("Mul", [g.op("Add", [left, right]), g.f(0.5)])
    cy = g.op("Mul", [g.op("Add", [upper, lower]), g.f(0.5)])
    rx = g.op("Mul", [g.op("Sub", [right, left]), g.f(MOUTH_WIDTH / 2)])
    ry = g.op("Add", [g.op("Mul", [opening, g.f(0.5)]), g.f(0.004)])
    coords = (2.0 * np.arange(crop) / max(crop - 1, 1) - 1.0) if crop > 1 else np.array([-1.0])
    u = g.op("Div", [g.op("Sub", [g.f(coords.reshape(1, 1, 1, crop)), cx]), rx])
    v = g.op("Div", [g.op("Sub", [g.f(coords.reshape(1, 1, crop, 1)), cy]), ry])
    r = g.op("Sqrt", [g.op("Add", [g.op("Mul", [u, u]), g.op("Mul", [v, v])])])
    # depth grows with the opening: 0 when closed, a saturated core when wide open
    depth = g.op("Mul", [g.op("Min", [g.op("Div", [opening, g.f(FULL_OPENING)]), g.f(1.0)]), g.f(1.8)])
    ramp = g.op("Mul", [g.op("Sub", [g.f(1.0), r]), depth])
    return g.op("Clip", [ramp, g.f(0.0), g.f(1.0)], outputs=["alpha"])


def compose(g, face, alpha):
    """rgb = alpha * mouth + (1 - alpha) * face: the unified compose tail."""
    mouth = g.op("Mul", [face, g.f(np.array(TINT).reshape(1, 3, 1, 1))])
    inside = g.op("Mul", [mouth, alpha])
    outside = g.op("Mul", [face, g.op("Sub", [g.const("compose_one", [1.0]), alpha])])
    return g.op("Add", [inside, outside], outputs=["rgb"])


def kp_dims(batch, rows, kp_shape):
    """Declared keypoint shape: "rows" (fixed), "dynamic" (symbolic rows) or "flat" ([B, rows*3])."""
    if kp_shape == "flat":
        return [batch, rows * 3]
    return [batch, "kp_rows" if kp_shape == "dynamic" else rows, 3]


def build(crop=64, batch=1, layout="prgb", rows=KP_ROWS, kp_shape="rows", dynamic_batch=False, probe=False,
          seed=1234):
    """The director ModelProto. probe adds "grid", "warped", "alpha" and "face" as outputs."""
    if crop < 2 or crop % 2:
        raise ValueError("crop must be even, got %d" % crop)
    rng = np.random.default_rng(seed)
    g = Graph("director_%s" % layout)
    fs = layout == "featsynth"
    names = ("fs_red", "pooled", "kd", "ks") if fs else ("P_rgb", "pooled64", "kp_driving", "kp_source")
    src_name, pooled, kd, ks = names
    b = "batch" if dynamic_batch else batch
    inputs = [helper.make_tensor_value_info(pooled, TensorProto.FLOAT, [b, 64, 32, 32]),
              helper.make_tensor_value_info(kd, TensorProto.FLOAT, kp_dims(batch, rows, kp_shape)),
              helper.make_tensor_value_info(ks, TensorProto.FLOAT, kp_dims(batch, rows, kp_shape))]
    src_dims = [batch, 64, 64, 64] if fs else [batch, 3, crop, crop]
    inputs.insert(0 if fs else 1, helper.make_tensor_value_info(src_name, TensorProto.FLOAT, src_dims))
    if kp_shape == "flat":
        kd = g.op("Reshape", [kd, g.i64([batch, rows, 3])])
        ks = g.op("Reshape", [ks, g.i64([batch, rows, 3])])

    grid = keypoint_grid(g, kd, ks, crop, rows)
    if fs:
        pick = np.concatenate([np.eye(3), rng.normal(0, 0.02, (3, 61))], 1)[:, :, None, None]
        src = g.op("Sigmoid", [g.conv(src_name, pick)])
        src = g.op("Resize", [src, "", g.f([1, 1, crop / 64, crop / 64])], mode="linear",
                   coordinate_transformation_mode="half_pixel")
        warped = g.op("GridSample", [src, grid], outputs=["warped"], mode="bilinear", padding_mode="border",
                      align_corners=0)
    else:
        warped = warp_block(g, source_cone(g, src_name), grid, crop)
    face = head(g, warped, pooled, crop, rng)
    if fs:
        g.op("Identity", [face], outputs=["rgb"])
        extra = {"grid": 2, "warped": 3, "face": 3}
    else:
        compose(g, face, mouth_alpha(g, kd, crop))
        extra = {"grid": 2, "warped": 3, "alpha": 1, "face": 3}

    outputs = [helper.make_tensor_value_info("rgb", TensorProto.FLOAT, [batch, 3, crop, crop])]
    if probe:
        outputs += [helper.make_tensor_value_info(n, TensorProto.FLOAT, [batch, crop, crop, 2] if n == "grid"
                                                  else [batch, c, crop, crop]) for n, c in extra.items()]
    graph = helper.make_graph(g.nodes, g.name, inputs, outputs, initializer=g.inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)], producer_name="forge")
    model.ir_version = 8
    return model


def halve_weights(model):
    """Stores Conv and /s2/blend weights as float16 behind Casts. The head Conv that reads
    the cubic Resize keeps float32 weights: its channel count is read off that initializer."""
    g = model.graph
    inits = {t.name: t for t in g.initializer}
    producer = {o: n for n in g.node for o in n.output}
    keep = set()
    for n in g.node:
        if n.op_type == "Conv" and producer.get(n.input[0]) is not None and producer[n.input[0]].op_type == "Resize":
            keep.add(n.input[1])
    nodes = []
    for n in g.node:
        if (n.op_type == "Conv" or n.name == "/s2/blend") and n.input[1] in inits and n.input[1] not in keep:
            t = inits[n.input[1]]
            half = numpy_helper.from_array(numpy_helper.to_array(t).astype(np.float16), t.name + "_f16")
            t.CopyFrom(half)
            cast = t.name[:-4]
            nodes.append(helper.make_node("Cast", [t.name], [cast], name="/cast/" + cast, to=TensorProto.FLOAT))
            n.input[1] = cast
        nodes.append(n)
    del g.node[:]
    g.node.extend(nodes)
    return model


# --- structure checks: the node patterns the engine's load-time rewrites match ---

MSA = ("Mul", "Sub", "Add")


def _consumers(nodes, value):
    return [n for n in nodes if value in n.input]


def _attrs(node):
    return {a.name: helper.get_attribute_value(a) for a in node.attribute}


def _source_cone(nodes, inits, tip):
    """Nodes between P_rgb and the tip; raises when the cone leaks."""
    producer = {o: n for n in nodes for o in n.output if o}
    cone, stack, seen = [], [tip], set()
    while stack:
        v = stack.pop()
        if v in seen or v in ("P_rgb", "") or v in inits:
            continue
        seen.add(v)
        n = producer[v]
        if n.op_type != "Constant":
            cone.append(n)
            stack.extend(n.input)
    inside = {o for n in cone for o in n.output}
    for n in nodes:
        if any(n is c for c in cone):
            continue
        for i in n.input:
            if i == "P_rgb" or (i in inside and i != tip):
                raise AssertionError("%s leaks out of the source cone into %s" % (i, n.op_type))
    return cone


def check_structure(model):
    """Asserts the patterns of the cone, the warp block, the student blend, the head Resize
    and the compose tail. Returns a short account."""
    g = model.graph
    nodes = list(g.node)
    inits = {t.name: numpy_helper.to_array(t) for t in g.initializer}
    ops = [n.op_type for n in nodes]
    inputs = [i.name for i in g.input]
    account = []

    gs = [n for n in nodes if n.op_type == "GridSample"]
    assert len(gs) == 1, "%d GridSample nodes" % len(gs)
    a = _attrs(gs[0])
    assert (a.get("mode"), a.get("padding_mode"), a.get("align_corners")) == (b"bilinear", b"border", 0), a

    blend = [n for n in nodes if n.name == "/s2/blend"]
    assert len(blend) == 1 and blend[0].op_type == "MatMul" and len(blend[0].input) == 2 \
        and not blend[0].attribute and not blend[0].domain, "no plain /s2/blend MatMul"

    cubic = [n for n in nodes if n.op_type == "Resize" and _attrs(n).get("mode") == b"cubic"]
    assert len(cubic) == 1, "%d cubic Resize nodes" % len(cubic)
    r = cubic[0]
    assert _attrs(r).get("coordinate_transformation_mode") == b"half_pixel"
    assert len(r.input) == 3 and r.input[1] == "" and list(inits[r.input[2]]) == [1, 1, 2, 2]
    conv = _consumers(nodes, r.output[0])
    assert len(conv) == 1 and conv[0].op_type == "Conv" and conv[0].input[1] in inits, "head Resize feeds no Conv"
    account.append("head Resize -> Conv over %d channels" % inits[conv[0].input[1]].shape[1])

    if "P_rgb" in inputs:
        concat = [n for n in nodes if n.op_type == "Concat" and "P_rgb" in n.input]
        assert len(concat) == 1, "%d Concat nodes read P_rgb" % len(concat)
        tip = concat[0].output[0]
        cone = _source_cone(nodes, inits, tip)
        assert gs[0].input[0] == tip and [n.op_type for n in _consumers(nodes, tip)] == ["GridSample"]
        block, values = [gs[0]], {gs[0].output[0]}
        for n in _consumers(nodes, gs[0].output[0]):
            assert n.op_type == "Slice", "%s reads the GridSample" % n.op_type
            block.append(n)
            values.update(n.output)
        grown = True
        while grown:
            grown = False
            for n in nodes:
                if n.op_type in MSA and not any(n is m for m in block) and values.intersection(n.input):
                    block.append(n)
                    values.update(n.output)
                    grown = True
        outside = [n for n in nodes if not any(n is m for m in block)]
        exits = {v for v in values if v != gs[0].output[0] and any(v in n.input for n in outside)}
        exits |= values & {o.name for o in g.output}
        assert exits == {"warped"}, "warp block exits %s" % sorted(exits)
        assert [n.op_type for n in block].count("Slice") == 4 and len(block) == 11, "warp block of %d nodes" % len(block)
        account.append("cone of %d nodes, warp block of %d nodes" % (len(cone), len(block)))

    producer = {o: n for n in nodes for o in n.output}
    tail = producer[g.output[0].name]
    if tail.op_type == "Add":
        muls = [producer.get(i) for i in tail.input]
        assert all(m is not None and m.op_type == "Mul" for m in muls), "compose Add is not of two Muls"
        subs = [producer.get(i) for m in muls for i in m.input]
        sub = [s for s in subs if s is not None and s.op_type == "Sub" and s.input[0] in inits
               and inits[s.input[0]].size == 1 and float(inits[s.input[0]].ravel()[0]) == 1.0]
        assert len(sub) == 1 and producer[sub[0].input[1]].op_type == "Clip", "no Sub(1, Clip) in the compose"
        account.append("compose tail over %s" % sub[0].input[1])
    account.append("%d nodes" % len(ops))
    return "; ".join(account)


def save(model, path):
    """Checks and writes the model; returns the structure account."""
    onnx.checker.check_model(model, full_check=True)
    account = check_structure(model)
    onnx.save(model, path)
    return account


def keep_float(node, producer):
    """The convolutions an int8 variant keeps: the source cone's depthwise ones (the warp rewrites
    read them) and the one the head's cubic Resize feeds (its rewrite reads that)."""
    attrs = {a.name: helper.get_attribute_value(a) for a in node.attribute}
    fed = producer.get(node.input[0])
    return attrs.get("group", 1) > 1 or (fed is not None and fed.op_type == "Resize")


def write_director(path, crop=64, batch=1, layout="prgb", fp16=False, int8=False, **kw):
    """int8: the other convolutions as com.velomark.int8::Int8ConvVNNI nodes."""
    from int8 import int8_variant

    model = build(crop=crop, batch=batch, layout=layout, **kw)
    if fp16:
        halve_weights(model)
    if int8:
        int8_variant(model, keep_float)
        onnx.save(model, path)
        return "int8 variant"
    return save(model, path)


# --- sample identity and keypoints: a smooth synthetic face whose mouth the lip rows frame ---

# x, y of the 21 keypoint rows in normalised crop units; rows 6, 12, 14, 17, 19, 20 frame the mouth
NEUTRAL_KP = np.array([
    [-0.45, -0.30], [-0.25, -0.32], [0.25, -0.32], [0.45, -0.30], [-0.35, -0.15], [0.35, -0.15],
    [-0.22, 0.45],  # 6: left mouth corner
    [0.0, -0.05], [0.0, 0.12], [-0.12, 0.18], [0.12, 0.18], [-0.60, 0.10],
    [0.22, 0.45],  # 12: right mouth corner
    [0.60, 0.10],
    [0.0, 0.38],  # 14: upper lip
    [-0.40, 0.60], [0.40, 0.60],
    [0.0, 0.53],  # 17: lower lip
    [0.0, 0.80],
    [-0.10, 0.40],  # 19: upper lip, left
    [0.10, 0.50],  # 20: lower lip, right
], np.float32)
UPPER_LIP = (14, 19)
LOWER_LIP = (17, 20)


def face_keypoints(opening=0.0):
    """[21, 3] keypoints; opening moves the upper lip rows up and the lower ones down by half each."""
    kp = np.zeros((KP_ROWS, 3), np.float32)
    kp[:, :2] = NEUTRAL_KP
    kp[list(UPPER_LIP), 1] -= opening / 2
    kp[list(LOWER_LIP), 1] += opening / 2
    return kp


def face_image(crop, variant=0):
    """[3, crop, crop] float image in 0..1: skin, eyes, a dark lip band at the mouth."""
    c = (2.0 * np.arange(crop) + 1.0) / crop - 1.0
    x, y = np.meshgrid(c, c)
    shift = 0.01 * variant

    def blob(cx, cy, rx, ry):
        return np.exp(-(((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2))

    skin = np.stack([0.85 - 0.1 * y, 0.65 - 0.05 * y, 0.55 + 0.05 * x])
    head = blob(0, 0.05, 0.75, 0.95)
    img = 0.25 + head * (skin - 0.25)
    for ex in (-0.35 + shift, 0.35 + shift):
        img = img * (1 - 0.7 * blob(ex, -0.15, 0.10, 0.05))
    lips = blob(0, 0.455, 0.22, 0.06)
    img = img * (1 - 0.45 * lips) + lips * np.array([0.35, 0.05, 0.08])[:, None, None]
    img = img * (1 - 0.8 * blob(0, 0.455, 0.16, 0.012))  # the closed mouth line
    return np.clip(img, 0, 1).astype(np.float32)


def drive_rows(frames):
    """xs, xd [frames, 21, 3]: neutral source rows, driven rows opening and closing the mouth."""
    xs = np.stack([face_keypoints(0.0)] * frames)
    xd = np.stack([face_keypoints(0.08 * (1 - np.cos(2 * np.pi * i / max(frames, 1)))) for i in range(frames)])
    return xs, xd


def smooth_features(rng, nt):
    """[nt, 64, 32, 32] low-frequency waves in -1..1: features that shade the face, not speckle it."""
    t = (np.arange(32) + 0.5) / 32
    y, x = np.meshgrid(t, t, indexing="ij")
    f = rng.integers(0, 3, (nt, 64, 2, 1, 1))
    phase = rng.uniform(0, 2 * np.pi, (nt, 64, 1, 1))
    return np.cos(2 * np.pi * (f[:, :, 0] * x + f[:, :, 1] * y) + phase)


def identity_members(nt, crop, frames, featsynth=False, seed=5):
    """Member arrays of a director bundle: face images as P, random pooled64, mouth-driving rows."""
    rng = np.random.default_rng(seed)
    faces = np.stack([face_image(crop, i) for i in range(nt)])
    xs, xd = drive_rows(frames)
    members = {
        "P.f16": faces.astype(np.float16),
        "pooled64.f16": smooth_features(rng, nt).astype(np.float16),
        "drive/xs.f32": xs,
        "drive/xd.f32": xd,
    }
    if featsynth:
        # the FeatSynth source picks channels 0..2 through a Sigmoid: store their logits
        fs = rng.uniform(-1, 1, (nt, 64, 64, 64)).astype(np.float32)
        for i in range(nt):
            small = np.stack([face_image(64, i)])[0]
            p = np.clip(small, 0.02, 0.98)
            fs[i, :3] = np.log(p / (1 - p))
        members["fs_red.f16"] = fs.astype(np.float16)
    return members


# member name -> model options of the bundles the renderer serves
STANDARD_MODELS = {
    "model_render.onnx": dict(batch=1),
    "model_b4.onnx": dict(batch=4),
}


def write_director_bundle(out, crop=64, nt=3, frames=8, w=96, h=80, models=None, featsynth=False, driver="jpg",
                          **manifest_kw):
    """A bundle whose identity members, driver video and director models fit together. models maps
    a member name to build options (batch, layout, fp16, rows, kp_shape, dynamic_batch)."""
    from bundle import write_member
    from identity import write_driver_bundle

    write_driver_bundle(out, nt=nt, w=w, h=h, crop=crop, frames=frames, driver=driver, fs_red=featsynth,
                        **manifest_kw)
    for name, data in identity_members(nt, crop, frames, featsynth).items():
        write_member(out, name, data)
    for name, opts in (models if models is not None else STANDARD_MODELS).items():
        write_director(os.path.join(out, name), crop=crop, **opts)
    return out


def director_fixtures(tmp):
    """Director bundles and models of the renderer tests, all at crop 64."""
    j = lambda name: os.path.join(tmp, name)  # noqa: E731
    models = dict(STANDARD_MODELS)
    models.update({
        "model_render_int8.onnx": dict(int8=True),
        # the keypoint contract: 22 and 20 rows refuse; symbolic rows and flat [B,63] pass
        "model_kp22.onnx": dict(rows=22),
        "model_kp20.onnx": dict(rows=20),
        "model_kpdyn.onnx": dict(kp_shape="dynamic"),
        "model_kpflat.onnx": dict(kp_shape="flat"),
        "model_dynbatch.onnx": dict(dynamic_batch=True),
        # a FeatSynth graph in a bundle without fs_red.f16
        "model_featsynth.onnx": dict(layout="featsynth"),
    })
    write_director_bundle(j("bundle_director"), models=models)
    # the offline stream's members: beside the director bundle, and in a one-frame identity
    from fca import write_fca_members

    write_fca_members(j("bundle_director"), 3)
    write_fca_members(write_director_bundle(j("bundle_stream_nt1"), nt=1, frames=2,
                                            models={"model_render.onnx": dict(batch=1)}), 1)
    write_director_bundle(j("bundle_featsynth"), featsynth=True, models={
        "model_render.onnx": dict(layout="featsynth"),
        "model_b4.onnx": dict(layout="featsynth", batch=4),
    })
    write_director(j("director_probe.onnx"), probe=True)
