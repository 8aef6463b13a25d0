"""The fused m4b director: the fixed topology the native fp16 backend implements, in opset-16 ONNX.

Inputs pooled64 [B,64,32,32], P_rgb [B,3,512,512], kp_driving and kp_source [B,21,3]; output rgb
[B,3,512,512] in 0..1. Crop 512 only. Value names of the intermediates are the engine's dump names.

phase A, per frame, at 32x32 and below
  heat     21 maps on the 32x32 lattice of pixel centres: exp(-r2(kd)/2s^2) - exp(-r2(ks)/2s^2)
  pre      Conv1x1 [96,85] over Concat(pooled64, heat), ReLU            -> pre_relu   [96,32,32]
           (exported under numbered names: weight onnx::Conv_517, bias onnx::Conv_518)
  e0,e1,e2 Conv3x3 stride 2 pad 1, ReLU                                  -> e*_relu    32 -> 16 -> 8 -> 4
  wmlp     Flatten(e2_relu), Gemm s.wmlp.0, ReLU, Gemm s.wmlp.2         -> coeff      [64]
  d1,d0,ref  nearest x2 of the coarser map, Concat the encoder map of that size, Conv3x3 pad 1, ReLU
  mask     Conv3x3 [2,ref]                                               -> mask_conv  (the flow)
  occ      Conv3x3 [1,ref], Sigmoid                                      -> occ_sig
  grid     grid32 + flow                                                 -> grid_add   [B,32,32,2]
basis      coeff x basis [64,196608], as [3,256,256]                     -> basisimg
phase B, per frame, at 512 (corr at 256)
  grid512, occ512, basis512: linear x16, x16, x2 resizes (half_pixel)
  warped   GridSample(P_rgb, grid512; bilinear, border, align_corners 0)
  maskocc  warped * occ512 + basis512 * (1 - occ512)
  corr     AveragePool 2x2 of Concat(maskocc, warped, occ512), corr.0 and corr.1 Conv3x3 + ReLU,
           corr.2 Conv3x3 -> corr2_conv [3,256,256]; refined = maskocc + linear x2 of corr2_conv
  tile     the 64 tiles of 64x64 as a batch, each Concat(tile, s.grid64): tile.0..2 Conv3x3 + ReLU,
           tile.3 Conv1x1, times s.feather; back in place and added: rgb = Clip(refined + tiles, 0, 1)

Widths: the realistic director (about 2.5 GMAC a frame) is the default; "tiny" keeps the fixed
shapes (pre, basis, grid32) and narrows every free width, for the tests.
"""
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

from director import Graph, identity_grid

OPSET = 16
CROP = 512
KP_ROWS = 21
HEAT_SIGMA = 0.1
TILE = 64

WIDTHS = {
    # e0, e1, e2, wmlp hidden, d1, d0, ref, corr, tile
    "full": dict(e0=128, e1=192, e2=256, hidden=256, d1=128, d0=96, ref=64, corr=32, tile=16),
    "tiny": dict(e0=8, e1=8, e2=8, hidden=16, d1=8, d0=8, ref=8, corr=4, tile=4),
}


def lattice32():
    """[1024, 2] (x, y) pixel centres of the 32x32 lattice, row-major."""
    return identity_grid(32).reshape(-1, 2)


def feather():
    """[1,1,64,64]: a window that fades each tile's refinement out at its border."""
    w = np.sin(np.pi * (np.arange(TILE) + 0.5) / TILE)
    return np.outer(w, w)[None, None].astype(np.float32)


def grid64():
    """[1,2,64,64]: x and y of each pixel inside its tile, -1..1."""
    g = identity_grid(TILE)[0]  # [64,64,2]
    return np.ascontiguousarray(g.transpose(2, 0, 1))[None].astype(np.float32)


class M4b:
    def __init__(self, batch, widths, seed):
        self.g = Graph("m4b")
        self.b = batch
        self.w = widths
        self.rng = np.random.default_rng(seed)

    def param(self, name, value):
        self.g.inits.append(numpy_helper.from_array(np.asarray(value, np.float32), name))
        return name

    def conv(self, x, name, cin, cout, k, out, stride=1, relu=True, gain=1.0, bias_name=None):
        std = gain * np.sqrt(2.0 / (cin * k * k))
        w = self.param(name + ".weight" if bias_name is None else name, self.rng.normal(0, std, (cout, cin, k, k)))
        b = self.param(bias_name or name + ".bias", self.rng.normal(0, 0.05, cout))
        p = k // 2
        y = self.g.op("Conv", [x, w, b], outputs=[out if not relu else out + "_pre"], kernel_shape=[k, k],
                      pads=[p, p, p, p], strides=[stride, stride])
        return self.g.op("Relu", [y], outputs=[out]) if relu else y

    def gemm(self, x, name, cin, cout, out, relu):
        w = self.param(name + ".weight", self.rng.normal(0, np.sqrt(2.0 / cin), (cout, cin)))
        b = self.param(name + ".bias", self.rng.normal(0, 0.05, cout))
        y = self.g.op("Gemm", [x, w, b], outputs=[out + ("_pre" if relu else "")], transB=1)
        return self.g.op("Relu", [y], outputs=[out]) if relu else y

    def resize(self, x, factor, mode, out=None):
        g = self.g
        attrs = dict(mode=mode, coordinate_transformation_mode="half_pixel") if mode == "linear" else dict(
            mode="nearest", coordinate_transformation_mode="asymmetric", nearest_mode="floor")
        return g.op("Resize", [x, "", g.f([1, 1, factor, factor])], outputs=[out] if out else None, **attrs)

    def heat(self, kd, ks):
        g = self.g
        lat = g.f(lattice32().reshape(1, 1024, 1, 2))

        def maps(kp):
            at = g.op("Unsqueeze", [g.slice(kp, 0, 2, 2), g.i64([1])])  # [B,1,21,2]
            d = g.op("Sub", [lat, at])
            r2 = g.op("ReduceSum", [g.op("Mul", [d, d]), g.i64([3])], keepdims=0)  # [B,1024,21]
            return g.op("Exp", [g.op("Mul", [r2, g.f(-0.5 / HEAT_SIGMA ** 2)])])

        h = g.op("Sub", [maps(kd), maps(ks)])
        return g.op("Reshape", [g.op("Transpose", [h], perm=[0, 2, 1]), g.i64([self.b, KP_ROWS, 32, 32])],
                    outputs=["heat"])

    def build(self):
        g, w, B = self.g, self.w, self.b
        x = g.op("Concat", ["pooled64", self.heat("kp_driving", "kp_source")], axis=1)
        # the pre layer as an exporter numbers it
        pre = self.conv(x, "onnx::Conv_517", 85, 96, 1, "pre_relu", bias_name="onnx::Conv_518")
        e0 = self.conv(pre, "s.e0.conv", 96, w["e0"], 3, "e0_relu", stride=2)
        e1 = self.conv(e0, "s.e1.conv", w["e0"], w["e1"], 3, "e1_relu", stride=2)
        e2 = self.conv(e1, "s.e2.conv", w["e1"], w["e2"], 3, "e2_relu", stride=2)
        flat = g.op("Flatten", [e2], axis=1)
        hid = self.gemm(flat, "s.wmlp.0", w["e2"] * 16, w["hidden"], "wmlp0_relu", True)
        coeff = self.gemm(hid, "s.wmlp.2", w["hidden"], 64, "coeff", False)
        d1 = self.conv(g.op("Concat", [self.resize(e2, 2, "nearest"), e1], axis=1), "s.d1.conv", w["e2"] + w["e1"],
                       w["d1"], 3, "d1_relu")
        d0 = self.conv(g.op("Concat", [self.resize(d1, 2, "nearest"), e0], axis=1), "s.d0.conv", w["d1"] + w["e0"],
                       w["d0"], 3, "d0_relu")
        ref = self.conv(g.op("Concat", [self.resize(d0, 2, "nearest"), pre], axis=1), "s.ref.conv", w["d0"] + 96,
                        w["ref"], 3, "ref_relu")
        flow = self.conv(ref, "s.mask", w["ref"], 2, 3, "mask_conv", relu=False, gain=0.02)
        occ = g.op("Sigmoid", [self.conv(ref, "s.occ", w["ref"], 1, 3, "occ_conv", relu=False, gain=0.5)],
                   outputs=["occ_sig"])
        grid32 = self.param("onnx::Add_9", identity_grid(32)[None])  # [1,1,32,32,2]
        grid_add = g.op("Add", [g.op("Reshape", [grid32, g.i64([1, 32, 32, 2])]),
                                g.op("Transpose", [flow], perm=[0, 2, 3, 1])], outputs=["grid_add"])

        basis = self.param("onnx::MatMul_611", self.rng.normal(0, 0.02, (64, 196608)))
        basisimg = g.op("Reshape", [g.op("MatMul", [coeff, basis]), g.i64([B, 3, 256, 256])], outputs=["basisimg"])
        basis512 = self.resize(basisimg, 2, "linear", "basis512")

        grid512 = self.resize(g.op("Transpose", [grid_add], perm=[0, 3, 1, 2]), 16, "linear")
        grid512 = g.op("Transpose", [grid512], perm=[0, 2, 3, 1], outputs=["grid512"])
        warped = g.op("GridSample", ["P_rgb", grid512], outputs=["warped"], mode="bilinear", padding_mode="border",
                      align_corners=0)
        occ512 = self.resize(occ, 16, "linear", "occ512")
        maskocc = g.op("Add", [g.op("Mul", [warped, occ512]),
                               g.op("Mul", [basis512, g.op("Sub", [g.f(1.0), occ512])])], outputs=["maskocc"])

        small = g.op("AveragePool", [g.op("Concat", [maskocc, warped, occ512], axis=1)], kernel_shape=[2, 2],
                     strides=[2, 2])
        c0 = self.conv(small, "s.corr.0.conv", 7, w["corr"], 3, "corr0_relu")
        c1 = self.conv(c0, "s.corr.1.conv", w["corr"], w["corr"], 3, "corr1_relu")
        c2 = self.conv(c1, "s.corr.2", w["corr"], 3, 3, "corr2_conv", relu=False, gain=0.05)
        refined = g.op("Add", [maskocc, self.resize(c2, 2, "linear")], outputs=["refined"])

        t = g.op("Reshape", [refined, g.i64([B, 3, 8, TILE, 8, TILE])])
        t = g.op("Reshape", [g.op("Transpose", [t], perm=[0, 2, 4, 1, 3, 5]), g.i64([B * 64, 3, TILE, TILE])])
        pos = g.op("Expand", [self.param("s.grid64", grid64()), g.i64([B * 64, 2, TILE, TILE])])
        t0 = self.conv(g.op("Concat", [t, pos], axis=1), "s.tile.0.conv", 5, w["tile"], 3, "tile0_relu")
        t1 = self.conv(t0, "s.tile.1.conv", w["tile"], w["tile"], 3, "tile1_relu")
        t2 = self.conv(t1, "s.tile.2.conv", w["tile"], w["tile"], 3, "tile2_relu")
        t3 = self.conv(t2, "s.tile.3", w["tile"], 3, 1, "tile3_conv", relu=False, gain=0.05)
        t3 = g.op("Mul", [t3, self.param("s.feather", feather())])
        t3 = g.op("Reshape", [t3, g.i64([B, 8, 8, 3, TILE, TILE])])
        t3 = g.op("Reshape", [g.op("Transpose", [t3], perm=[0, 3, 1, 4, 2, 5]), g.i64([B, 3, CROP, CROP])])
        g.op("Clip", [g.op("Add", [refined, t3]), g.f(0.0), g.f(1.0)], outputs=["rgb"])


PROBES = ("pre_relu", "e2_relu", "coeff", "ref_relu", "mask_conv", "occ_sig", "grid_add", "basisimg", "warped",
          "maskocc", "corr2_conv", "refined", "tile2_relu")


def build(batch=1, size="full", seed=4, probe=False):
    m = M4b(batch, WIDTHS[size], seed)
    m.build()
    fl = TensorProto.FLOAT
    inputs = [helper.make_tensor_value_info("pooled64", fl, [batch, 64, 32, 32]),
              helper.make_tensor_value_info("P_rgb", fl, [batch, 3, CROP, CROP]),
              helper.make_tensor_value_info("kp_driving", fl, [batch, KP_ROWS, 3]),
              helper.make_tensor_value_info("kp_source", fl, [batch, KP_ROWS, 3])]
    outputs = [helper.make_tensor_value_info("rgb", fl, [batch, 3, CROP, CROP])]
    if probe:
        outputs += [helper.make_tensor_value_info(n, fl, None) for n in PROBES]
    graph = helper.make_graph(m.g.nodes, "m4b", inputs, outputs, initializer=m.g.inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)], producer_name="forge")
    model.ir_version = 8
    return model


def macs(size="full"):
    """Multiply-accumulates of one frame, for the account the forge prints."""
    w = WIDTHS[size]
    conv = lambda cin, cout, k, px: cin * cout * k * k * px  # noqa: E731
    a = (conv(85, 96, 1, 1024) + conv(96, w["e0"], 3, 256) + conv(w["e0"], w["e1"], 3, 64) +
         conv(w["e1"], w["e2"], 3, 16) + w["e2"] * 16 * w["hidden"] + w["hidden"] * 64 +
         conv(w["e2"] + w["e1"], w["d1"], 3, 64) + conv(w["d1"] + w["e0"], w["d0"], 3, 256) +
         conv(w["d0"] + 96, w["ref"], 3, 1024) + conv(w["ref"], 3, 3, 1024))
    b = (conv(7, w["corr"], 3, 65536) + conv(w["corr"], w["corr"], 3, 65536) + conv(w["corr"], 3, 3, 65536) +
         conv(5, w["tile"], 3, 262144) + 2 * conv(w["tile"], w["tile"], 3, 262144) + conv(w["tile"], 3, 1, 262144))
    return a + 64 * 196608 + b


def phase_a(node, producer):
    """The int8 variant keeps phase A's convolutions float: they are a tenth of the work, and the flow,
    occlusion and coefficients they make steer the whole crop (all of them in int8 move it by about
    3/255 on the forged identity, the heavy half-resolution and tile layers alone by about 0.4/255)."""
    return not node.input[1].startswith(("s.corr", "s.tile"))


def write_m4b(path, batch=1, size="full", probe=False, int8=False):
    """Writes the model (int8: the correction and tile convolutions as Int8ConvVNNI nodes); returns a
    one-line account."""
    from int8 import int8_variant

    model = build(batch, size, probe=probe)
    if int8:
        int8_variant(model, phase_a)
    else:
        onnx.checker.check_model(model)
    onnx.save(model, path)
    return "m4b %s batch %d%s: %.2f GMAC a frame" % (size, batch, " int8" if int8 else "", macs(size) / 1e9)


def write_m4b_bundle(out, crop=CROP, size="tiny", batch=2, nt=2, frames=4, int8=False):
    """A crop-512 bundle whose model_render.onnx is the m4b director (and model_render_int8.onnx its
    int8 variant when asked). crop only changes what the manifest declares."""
    from director import write_director_bundle

    write_director_bundle(out, crop=crop, nt=nt, frames=frames, models={})
    account = write_m4b(os.path.join(out, "model_render.onnx"), batch, size)
    if int8:
        write_m4b(os.path.join(out, "model_render_int8.onnx"), batch, size, int8=True)
    return account


# --- skeletons: the m4b's initializers without a network, for the engine's refusals ---

def skeleton_initializers():
    """The tiny m4b's float initializers, the basis keeping its shape with a stub of data."""
    inits = [t for t in build(2, "tiny").graph.initializer if t.data_type == TensorProto.FLOAT]
    next(t for t in inits if t.name == "onnx::MatMul_611").raw_data = b"\0\0\0\0"
    return inits


def skeleton(base, case="ok"):
    """base's initializers, no nodes, and the pooled64 input; case changes one thing (SKELETON_CASES)."""
    inits = [onnx.TensorProto() for _ in base]
    for t, b in zip(inits, base):
        t.CopyFrom(b)
    by = {t.name: t for t in inits}
    fp32 = lambda name, a: numpy_helper.from_array(np.asarray(a, np.float32), name)  # noqa: E731
    if case == "pre_twice":
        inits.append(fp32("extra_pre", np.zeros((96, 85, 1, 1))))
    elif case == "pre_absent":
        inits.remove(by["onnx::Conv_517"])
    elif case == "pre_no_counter":
        by["onnx::Conv_517"].name = "pre.weight"
    elif case == "pre_bias_shape":
        by["onnx::Conv_518"].CopyFrom(fp32("onnx::Conv_518", np.zeros(95)))
    elif case == "grid32_absent":
        inits.remove(by["onnx::Add_9"])
    elif case == "basis_twice":
        inits.append(fp32("other_basis", np.zeros(1)))
        inits[-1].dims[:] = [64, 196608]
    elif case == "layer_absent":
        inits.remove(by["s.corr.1.conv.weight"])
    elif case == "layer_shape":
        by["s.tile.2.conv.weight"].CopyFrom(fp32("s.tile.2.conv.weight", np.zeros((4, 5, 3, 3))))
    elif case == "bias_count":
        by["s.e1.conv.bias"].CopyFrom(fp32("s.e1.conv.bias", np.zeros(7)))
    elif case == "non_fp32":
        w = numpy_helper.to_array(by["s.e0.conv.weight"]).astype(np.float16)
        by["s.e0.conv.weight"].CopyFrom(numpy_helper.from_array(w, "s.e0.conv.weight"))
    elif case == "no_data":
        t = by["s.e0.conv.bias"]
        t.ClearField("raw_data")
        t.ClearField("float_data")
    elif case == "feather_absent":
        inits.remove(by["s.feather"])
    pooled = "pooled" if case == "no_pooled64" else "pooled64"
    graph = helper.make_graph([], "m4b_skeleton",
                              [helper.make_tensor_value_info(pooled, TensorProto.FLOAT, [2, 64, 32, 32])], [],
                              initializer=inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)], producer_name="forge")
    model.ir_version = 8
    return model


SKELETON_CASES = ("ok", "pre_twice", "pre_absent", "pre_no_counter", "pre_bias_shape", "grid32_absent",
                  "basis_twice", "layer_absent", "layer_shape", "bias_count", "non_fp32", "no_data",
                  "feather_absent", "no_pooled64")


def m4b_fixtures(tmp):
    """bundle_m4b: the tiny m4b (batch 2) at crop 512; bundle_m4b_crop256: the same model in a bundle
    that declares crop 256; m4b_skel_<case>.onnx: the refusals."""
    write_m4b_bundle(os.path.join(tmp, "bundle_m4b"))
    small = os.path.join(tmp, "bundle_m4b_crop256")
    from director import write_director_bundle

    write_director_bundle(small, crop=256, nt=2, frames=4, models={})
    os.link(os.path.join(tmp, "bundle_m4b", "model_render.onnx"), os.path.join(small, "model_render.onnx"))
    base = skeleton_initializers()
    for case in SKELETON_CASES:
        onnx.save(skeleton(base, case), os.path.join(tmp, "m4b_skel_%s.onnx" % case))
