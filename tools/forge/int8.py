"""com.velomark.int8::Int8ConvVNNI: int8 variants of forged directors, and the one-node models of its tests.

An Int8ConvVNNI node reads X (float), W (int8 [M, C/group, kH, kW]), the per-output-channel weight scale
and the bias; the weights are quantised symmetrically per output channel, w = rint(w_float / scale) with
scale = max|w_float| / 127.

int8_conv_<case>.onnx  X -> "y" = Int8ConvVNNI(X, W, scale, bias), "bias", and "ref", the same layer in standard
                       operators: DynamicQuantizeLinear(X) -> ConvInteger(q, W, zp) -> Cast -> times
                       (x_scale * scale) -> plus bias. ConvInteger pads with the zero point, as the
                       operator does, so both outputs hold the same integer sums.
int8_conv_nogroup.onnx a node without its group attribute
int8_conv_dynamic.onnx "y" alone: a 3x3 layer in 2 groups, unpadded, over an input of any shape
"""
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

DOMAIN = "com.velomark.int8"
OPSET = 16

# name -> X shape, M, kernel, attributes (strides/dilations absent when not given)
CASES = {
    "3x3_pad1": ([1, 8, 11, 13], 20, 3, dict(group=1, pads=[1, 1, 1, 1], strides=[1, 1])),
    "1x1_odd_channels": ([1, 5, 6, 7], 3, 1, dict(group=1)),
    "stride2_asym_pads": ([1, 16, 9, 10], 32, 3, dict(group=1, pads=[0, 1, 1, 0], strides=[2, 2])),
    "dilation2": ([1, 4, 12, 12], 8, 3, dict(group=1, pads=[2, 2, 2, 2], dilations=[2, 2])),
    "groups2": ([1, 8, 7, 9], 6, 3, dict(group=2, pads=[1, 1, 1, 1])),
    "depthwise": ([1, 6, 8, 8], 6, 3, dict(group=6, pads=[1, 1, 1, 1])),
    "5x5_rgb_batch2": ([2, 3, 10, 12], 17, 5, dict(group=1, pads=[2, 2, 2, 2])),
    "64x64_3x3": ([1, 64, 32, 32], 64, 3, dict(group=1, pads=[1, 1, 1, 1])),
}


def quantise_weights(w):
    """Per output channel symmetric int8: (q int8, scale float32 [M])."""
    m = w.reshape(w.shape[0], -1)
    scale = np.abs(m).max(1) / 127.0
    scale[scale == 0] = 1.0
    q = np.clip(np.rint(m / scale[:, None]), -127, 127).astype(np.int8).reshape(w.shape)
    return q, scale.astype(np.float32)


def int8_node(name, x, out, wq, scale, bias, inits, **attrs):
    """Appends the node's initializers to inits and returns the node."""
    names = [name + "_wq", name + "_wscale", name + "_bias"]
    for n, v in zip(names, (wq, scale, bias)):
        inits.append(numpy_helper.from_array(v, n))
    return helper.make_node("Int8ConvVNNI", [x] + names, [out], name=name, domain=DOMAIN, **attrs)


def reference_nodes(x, wq, out, attrs, inits, p):
    """The same layer in standard operators over the node p's initializers, for the tests' oracle."""
    m = wq.shape[0]
    inits += [numpy_helper.from_array(np.array([1, m, 1, 1], np.int64), p + "shape")]
    conv_attrs = {k: v for k, v in attrs.items() if k in ("group", "strides", "dilations", "pads")}
    return [
        helper.make_node("DynamicQuantizeLinear", [x], [p + "q", p + "s", p + "zp"]),
        helper.make_node("ConvInteger", [p + "q", p + "_wq", p + "zp"], [p + "acc"], **conv_attrs),
        helper.make_node("Cast", [p + "acc"], [p + "accf"], to=TensorProto.FLOAT),
        helper.make_node("Mul", [p + "s", p + "_wscale"], [p + "sc"]),
        helper.make_node("Reshape", [p + "sc", p + "shape"], [p + "sc4"]),
        helper.make_node("Reshape", [p + "_bias", p + "shape"], [p + "b4"]),
        helper.make_node("Mul", [p + "accf", p + "sc4"], [p + "y0"]),
        helper.make_node("Add", [p + "y0", p + "b4"], [out]),
    ]


def _model(nodes, inputs, outputs, inits, name="int8"):
    graph = helper.make_graph(nodes, name, inputs, outputs, initializer=inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET), helper.make_opsetid(DOMAIN, 1)],
                              producer_name="forge")
    model.ir_version = 8
    return model


def case_model(xshape, m, k, attrs, seed=7, drop_group=False, dynamic=False):
    rng = np.random.default_rng(seed)
    group = attrs["group"]
    w = rng.normal(0, 1, (m, xshape[1] // group, k, k)).astype(np.float32)
    wq, scale = quantise_weights(w)
    bias = rng.normal(0, 0.5, m).astype(np.float32)
    inits = []
    node_attrs = {a: v for a, v in attrs.items() if not (drop_group and a == "group")}
    # the reference reads the node's own initializers
    nodes = [int8_node("L", "X", "y", wq, scale, bias, inits, **node_attrs)]
    if not dynamic:
        nodes += reference_nodes("X", wq, "ref", attrs, inits, "L")
        nodes.append(helper.make_node("Identity", ["L_bias"], ["bias"]))
    x = helper.make_tensor_value_info("X", TensorProto.FLOAT, None if dynamic else xshape)
    names = ("y",) if dynamic else ("y", "ref", "bias")
    outs = [helper.make_tensor_value_info(n, TensorProto.FLOAT, None) for n in names]
    return _model(nodes, [x], outs, inits)


# the benchmark's layers: a 64-channel 3x3 convolution, and the m4b director's largest (corr.1)
BENCH_LAYERS = {
    "64x64_3x3_128": ([1, 64, 128, 128], 64, 3, dict(group=1, pads=[1, 1, 1, 1])),
    "m4b_corr1_32x32_3x3_256": ([1, 32, 256, 256], 32, 3, dict(group=1, pads=[1, 1, 1, 1])),
}


def bench_layers(out):
    """Per layer three one-path models over the same quantised weights: <layer>_int8.onnx (the operator),
    <layer>_float.onnx (Conv with the dequantised weights) and <layer>_ort8.onnx (ONNX Runtime's own int8
    path: DynamicQuantizeLinear, ConvInteger and the dequantisation)."""
    os.makedirs(out, exist_ok=True)
    for name, (xshape, m, k, attrs) in BENCH_LAYERS.items():
        rng = np.random.default_rng(11)
        wq, scale = quantise_weights(rng.normal(0, 1, (m, xshape[1] // attrs["group"], k, k)).astype(np.float32))
        bias = rng.normal(0, 0.5, m).astype(np.float32)
        x = [helper.make_tensor_value_info("X", TensorProto.FLOAT, xshape)]
        y = [helper.make_tensor_value_info("y", TensorProto.FLOAT, None)]
        inits = []
        node = int8_node("L", "X", "y", wq, scale, bias, inits, **attrs)
        onnx.save(_model([node], x, y, list(inits)), os.path.join(out, name + "_int8.onnx"))
        onnx.save(_model(reference_nodes("X", wq, "y", attrs, inits, "L"), x, y, inits),
                  os.path.join(out, name + "_ort8.onnx"))
        wf = (wq.astype(np.float32) * scale[:, None, None, None]).astype(np.float32)
        conv = helper.make_node("Conv", ["X", "wf", "L_bias"], ["y"], kernel_shape=[k, k], **attrs)
        onnx.save(_model([conv], x, y, [numpy_helper.from_array(wf, "wf"), inits[2]]),
                  os.path.join(out, name + "_float.onnx"))


def int8_fixtures(tmp):
    for name, (xshape, m, k, attrs) in CASES.items():
        onnx.save(case_model(xshape, m, k, attrs), os.path.join(tmp, "int8_conv_%s.onnx" % name))
    onnx.save(case_model([1, 4, 5, 5], 4, 3, dict(group=1), drop_group=True),
              os.path.join(tmp, "int8_conv_nogroup.onnx"))
    onnx.save(case_model([1, 8, 7, 9], 6, 3, dict(group=2), dynamic=True),
              os.path.join(tmp, "int8_conv_dynamic.onnx"))


# --- int8 variants of forged directors ---

def _attrs(node):
    return {a.name: helper.get_attribute_value(a) for a in node.attribute}


def int8_variant(model, keep=lambda node, producer: False):
    """Every Conv with float32 initializer weights becomes an Int8ConvVNNI node, except those keep()
    names. Returns the number of nodes replaced."""
    g = model.graph
    inits = {t.name: t for t in g.initializer}
    producer = {o: n for n in g.node for o in n.output}
    nodes, added, count = [], [], 0
    for n in g.node:
        w = inits.get(n.input[1]) if n.op_type == "Conv" and len(n.input) > 1 else None
        if w is None or w.data_type != TensorProto.FLOAT or keep(n, producer):
            nodes.append(n)
            continue
        wf = numpy_helper.to_array(w)
        b = numpy_helper.to_array(inits[n.input[2]]) if len(n.input) > 2 and n.input[2] else np.zeros(wf.shape[0])
        wq, scale = quantise_weights(wf)
        a = _attrs(n)
        attrs = dict(group=a.get("group", 1))
        for k in ("strides", "dilations", "pads"):
            if k in a:
                attrs[k] = a[k]
        count += 1
        nodes.append(int8_node("q8_%d" % count, n.input[0], n.output[0], wq, scale, b.astype(np.float32), added,
                               **attrs))
    del g.node[:]
    g.node.extend(nodes)
    g.initializer.extend(added)
    used = {i for n in g.node for i in n.input}
    kept = [t for t in g.initializer if t.name in used]
    del g.initializer[:]
    g.initializer.extend(kept)
    if not any(o.domain == DOMAIN for o in model.opset_import):
        model.opset_import.append(helper.make_opsetid(DOMAIN, 1))
    return count
