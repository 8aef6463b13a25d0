"""Small source-cone and warp-block models for the hoist and warp-node tests.

warp_block_HxW.onnx  P_rgb [N,C,H,W] (symbolic N and C), grid_in [N,H,W,2] -> grid = Identity(grid_in),
                     the director's cone and warp block -> "warped": the subgraph WarpDirector replaces
warp_<case>.onnx     the same block at 8x8 over [1,3,8,8], output "Y" = Identity(warped), with one change
                     per case in WARP_CASES: each is a refusal of the hoist or the warp node, or a
                     variation they must accept
"""
import os

from onnx import TensorProto, helper

from director import OPSET, Graph, source_cone, warp_block

# case -> what it adds to the plain block
WARP_CASES = ("plain", "two_concats", "cone_reads_kp", "prgb_outside", "escape", "two_exits", "same_exit_twice",
              "align1", "tip_outside", "grid_input")


def _block_model(h, w, case="plain", dims=None):
    g = Graph("warp_" + case)
    grid = "grid_in" if case == "grid_input" else g.op("Identity", ["grid_in"], outputs=["grid"])
    pad_src = None
    if case == "cone_reads_kp":
        pad_src = g.op("Add", ["P_rgb", g.op("ReduceSum", ["kp_source"], keepdims=1)])
    tip = source_cone(g, "P_rgb", pad_src)
    warped = warp_block(g, tip, grid, w, h)
    extra = []
    if case == "two_concats":
        extra.append(g.op("Concat", ["P_rgb", "P_rgb"], axis=1, outputs=["twice"]))
    if case == "prgb_outside":
        extra.append(g.op("Identity", ["P_rgb"], outputs=["prgb_copy"]))
    if case == "escape":
        conv = next(n for n in g.nodes if n.op_type == "Conv")
        extra.append(g.op("Identity", [conv.output[0]], outputs=["dxx_copy"]))
    if case in ("two_exits", "same_exit_twice"):
        final = next(n for n in g.nodes if n.output[0] == "warped")
        inner = final.input[1] if case == "two_exits" else "warped"
        extra.append(g.op("Neg", [inner], outputs=["leak"]))
    if case == "tip_outside":
        extra.append(g.op("Identity", [tip], outputs=["tip_copy"]))
    if case == "align1":
        gs = next(n for n in g.nodes if n.op_type == "GridSample")
        next(a for a in gs.attribute if a.name == "align_corners").i = 1
    out = g.op("Identity", [warped], outputs=["Y"]) if dims else warped
    n, c = (dims or ("N", "C"))
    inputs = [helper.make_tensor_value_info("P_rgb", TensorProto.FLOAT, [n, c, h, w]),
              helper.make_tensor_value_info("grid_in", TensorProto.FLOAT, [n, h, w, 2])]
    if case == "cone_reads_kp":
        inputs.append(helper.make_tensor_value_info("kp_source", TensorProto.FLOAT, [1, 21, 3]))
    outputs = [helper.make_tensor_value_info(out, TensorProto.FLOAT, [n, 3, h, w])]
    outputs += [helper.make_tensor_value_info(e, TensorProto.FLOAT, None) for e in extra]
    graph = helper.make_graph(g.nodes, g.name, inputs, outputs, initializer=g.inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)], producer_name="forge")
    model.ir_version = 8
    return model


def warp_fixtures(tmp):
    import onnx

    for h, w in ((1, 1), (5, 7), (17, 33), (64, 64), (512, 512)):
        onnx.save(_block_model(h, w), os.path.join(tmp, "warp_block_%dx%d.onnx" % (h, w)))
    for case in WARP_CASES:
        onnx.save(_block_model(8, 8, case, dims=(1, 3)), os.path.join(tmp, "warp_%s.onnx" % case))
