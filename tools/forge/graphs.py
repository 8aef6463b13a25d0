"""One-node and few-node models for the graph rewrite and custom operator tests.

gridsample.onnx   X [N,C,H,W], grid [N,Hg,Wg,2] -> GridSample(bilinear, border, align_corners 0)
cubic_head.onnx   X [N,8,H,W] -> "up" = cubic x2 Resize (half_pixel, scales [1,1,2,2]),
                  "y" = Conv1x1(up) with float32 weights [3,8,1,1]: the head's shape;
                  cubic_scales/roi/twice.onnx are the variants the rewrite refuses
resize_rules.onnx X [N,C,H,W] -> one Resize per case of RESIZE_RULES, each its own output (opset 18)
resize_linear_16.onnx  X -> "Y", one linear x16 Resize: the benchmarks' grid upsample
gs_rules.onnx     one GridSample per match case, in the order of GS_RULES, plus a /s2/blend
                  MatMul and a model-level opset import list of only the default domain
"""
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 16
HEAD_CHANNELS = 8

# name, domain, attributes; True when the GridSample rewrite takes it
GS_RULES = [
    ("bilinear_border", "", dict(mode="bilinear", padding_mode="border", align_corners=0), True),
    ("linear_border", "", dict(mode="linear", padding_mode="border"), True),
    ("onnx_domain", "ai.onnx", dict(mode="bilinear", padding_mode="border", align_corners=0), True),
    ("nearest", "", dict(mode="nearest", padding_mode="border"), False),
    ("zeros", "", dict(mode="bilinear", padding_mode="zeros"), False),
    ("no_padding", "", dict(mode="bilinear"), False),
    ("no_mode", "", dict(padding_mode="border"), False),
    ("align1", "", dict(mode="bilinear", padding_mode="border", align_corners=1), False),
    ("other_domain", "com.example", dict(mode="bilinear", padding_mode="border"), False),
    ("case", "", dict(mode="Bilinear", padding_mode="border"), False),
]


# name, attributes, scales, extra inputs; True when the separable Resize rewrite takes it
HP = dict(coordinate_transformation_mode="half_pixel")
RESIZE_RULES = [
    ("linear_x2", dict(mode="linear", **HP), (1, 1, 2, 2), None, True),
    ("linear_x16", dict(mode="linear", **HP), (1, 1, 16, 16), None, True),
    ("linear_3x5", dict(mode="linear", keep_aspect_ratio_policy="stretch", **HP), (1, 1, 3, 5), None, True),
    ("linear_down", dict(mode="linear", **HP), (1, 1, 0.5, 0.75), None, True),
    ("cubic_x2", dict(mode="cubic", **HP), (1, 1, 2, 2), None, True),
    ("cubic_a05", dict(mode="cubic", cubic_coeff_a=-0.5, **HP), (1, 1, 2, 3), None, True),
    ("cubic_frac", dict(mode="cubic", **HP), (1, 1, 1.5, 2.5), None, True),
    ("nearest", dict(mode="nearest", **HP), (1, 1, 2, 2), None, False),
    ("asymmetric", dict(mode="linear", coordinate_transformation_mode="asymmetric"), (1, 1, 2, 2), None, False),
    ("no_transform", dict(mode="linear"), (1, 1, 2, 2), None, False),
    ("exclude_outside", dict(mode="cubic", exclude_outside=1, **HP), (1, 1, 2, 2), None, False),
    ("antialias", dict(mode="linear", antialias=1, **HP), (1, 1, 0.5, 0.5), None, False),
    ("channels", dict(mode="linear", **HP), (1, 2, 2, 1), None, False),
    ("with_roi", dict(mode="linear", **HP), (1, 1, 2, 2), "roi", False),
    ("axes", dict(mode="linear", axes=[2, 3], **HP), (2, 2), None, False),
]


def _model(nodes, inputs, outputs, inits=(), opsets=(("", OPSET),)):
    graph = helper.make_graph(nodes, "g", inputs, outputs, initializer=list(inits))
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid(d, v) for d, v in opsets],
                              producer_name="forge")
    model.ir_version = 8
    return model


def gridsample(path):
    x = helper.make_tensor_value_info("X", TensorProto.FLOAT, ["N", "C", "H", "W"])
    grid = helper.make_tensor_value_info("grid", TensorProto.FLOAT, ["N", "Hg", "Wg", 2])
    y = helper.make_tensor_value_info("Y", TensorProto.FLOAT, ["N", "C", "Hg", "Wg"])
    node = helper.make_node("GridSample", ["X", "grid"], ["Y"], name="/warp/GridSample", mode="bilinear",
                            padding_mode="border", align_corners=0)
    model = _model([node], [x, grid], [y])
    onnx.checker.check_model(model)
    onnx.save(model, path)


def cubic_head(path, seed=3, scales=(1, 1, 2, 2), roi=False, twice=False):
    """roi: a non-empty roi input; twice: a second cubic Resize beside the first."""
    rng = np.random.default_rng(seed)
    x = helper.make_tensor_value_info("X", TensorProto.FLOAT, ["N", HEAD_CHANNELS, "H", "W"])
    up = helper.make_tensor_value_info("up", TensorProto.FLOAT, ["N", HEAD_CHANNELS, "H2", "W2"])
    y = helper.make_tensor_value_info("y", TensorProto.FLOAT, ["N", 3, "H2", "W2"])
    inits = [numpy_helper.from_array(np.array(scales, np.float32), "scales"),
             numpy_helper.from_array(rng.normal(0, 0.5, (3, HEAD_CHANNELS, 1, 1)).astype(np.float32), "w")]
    if roi:
        inits.append(numpy_helper.from_array(np.zeros(8, np.float32), "roi"))
    cubic = dict(mode="cubic", coordinate_transformation_mode="half_pixel")
    nodes = [helper.make_node("Resize", ["X", "roi" if roi else "", "scales"], ["up"], name="/head/Resize", **cubic),
             helper.make_node("Conv", ["up", "w"], ["y"], name="/head/Conv")]
    outputs = [up, y]
    if twice:
        nodes.append(helper.make_node("Resize", ["X", "", "scales"], ["up2"], name="/head/Resize2", **cubic))
        outputs.append(helper.make_tensor_value_info("up2", TensorProto.FLOAT, ["N", HEAD_CHANNELS, "H2", "W2"]))
    model = _model(nodes, [x], outputs, inits)
    onnx.checker.check_model(model)
    onnx.save(model, path)


def resize_rules(path):
    x = helper.make_tensor_value_info("X", TensorProto.FLOAT, ["N", "C", "H", "W"])
    nodes, outputs, inits = [], [], [numpy_helper.from_array(np.zeros(8, np.float32), "roi")]
    for name, attrs, scales, roi, _ in RESIZE_RULES:
        inits.append(numpy_helper.from_array(np.array(scales, np.float32), name + "_scales"))
        nodes.append(helper.make_node("Resize", ["X", roi or "", name + "_scales"], [name], name="/" + name, **attrs))
        outputs.append(helper.make_tensor_value_info(name, TensorProto.FLOAT, [None] * 4))
    # not checked: the checker of Debian's onnx stops at opset 17, before antialias, axes and the policy
    onnx.save(_model(nodes, [x], outputs, inits, opsets=(("", 18),)), path)


def one_resize(path, mode, scale):
    x = helper.make_tensor_value_info("X", TensorProto.FLOAT, ["N", "C", "H", "W"])
    y = helper.make_tensor_value_info("Y", TensorProto.FLOAT, [None] * 4)
    inits = [numpy_helper.from_array(np.array([1, 1, scale, scale], np.float32), "scales")]
    node = helper.make_node("Resize", ["X", "", "scales"], ["Y"], name="/Resize", mode=mode, **HP)
    model = _model([node], [x], [y], inits)
    onnx.checker.check_model(model)
    onnx.save(model, path)


def gs_rules(path):
    x = helper.make_tensor_value_info("X", TensorProto.FLOAT, [1, 1, 4, 4])
    grid = helper.make_tensor_value_info("grid", TensorProto.FLOAT, [1, 4, 4, 2])
    nodes, outputs = [], []
    for name, domain, attrs, _ in GS_RULES:
        nodes.append(helper.make_node("GridSample", ["X", "grid"], [name], name="/" + name, domain=domain or None,
                                      **attrs))
        outputs.append(helper.make_tensor_value_info(name, TensorProto.FLOAT, [1, 1, 4, 4]))
    rows = helper.make_tensor_value_info("rows", TensorProto.FLOAT, [16, 4])
    nodes.append(helper.make_node("MatMul", ["rows", "blend_w"], ["blend"], name="/s2/blend"))
    outputs.append(helper.make_tensor_value_info("blend", TensorProto.FLOAT, [16, 2]))
    inits = [numpy_helper.from_array(np.ones((4, 2), np.float32), "blend_w")]
    # not checked: the cases include domains no checker knows
    onnx.save(_model(nodes, [x, grid, rows], outputs, inits), path)


def graph_fixtures(tmp):
    gridsample(os.path.join(tmp, "gridsample.onnx"))
    cubic_head(os.path.join(tmp, "cubic_head.onnx"))
    cubic_head(os.path.join(tmp, "cubic_scales.onnx"), scales=(1, 1, 2, 2.0001))
    cubic_head(os.path.join(tmp, "cubic_roi.onnx"), roi=True)
    cubic_head(os.path.join(tmp, "cubic_twice.onnx"), twice=True)
    gs_rules(os.path.join(tmp, "gs_rules.onnx"))
    resize_rules(os.path.join(tmp, "resize_rules.onnx"))
    one_resize(os.path.join(tmp, "resize_linear_16.onnx"), "linear", 16)
