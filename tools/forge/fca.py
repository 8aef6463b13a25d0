"""The offline stream's members of an avatar bundle: the feature-conditioned
audio model "fca_stream.onnx" and the source keypoints "xs_target.bin".

fca_stream.onnx: "cond" [1,5376] (7 frames x 768 normalised speech features,
the current frame second), "prev" [1,63], "h" [1,1,384] -> "m" [1,63],
"hn" [1,1,384]. Channel 0 of every speech feature is the encoder's loudness
cue; after the voiced-mean normalisation speech sits near or above 0 and
silence well below it, so

  hn = 0.8 h + 0.2 tanh(cond A B + prev Wp + h Wh)     (A B: a rank-16 mix of all of cond)
  m  = 0.5 prev + 0.5 (opening(cond[768]) * lips + 0.02 tanh(hn Wm))
  opening(c) = clip(0.2 (c + 0.3), 0, 0.12)

The mouth opens with loud speech and closes in silence; prev smooths it and
the hidden state carries every frame's whole context on to the next.
"""
import os

import numpy as np
from onnx import TensorProto, helper

from director import LOWER_LIP, UPPER_LIP
from speech import Graph, save, source_keypoints, write_raw

COND_FRAMES, WIDTH, HIDDEN, KP = 7, 768, 384, 63
RANK = 16


def lips():
    """[63] lip movement of an opening of 1: the upper lip rows up, the lower ones down, corners out."""
    v = np.zeros(KP, np.float32)
    for r in UPPER_LIP:
        v[3 * r + 1] = -0.5
    for r in LOWER_LIP:
        v[3 * r + 1] = 0.5
    v[3 * 6] = -0.15
    v[3 * 12] = 0.15
    return v


def fca_model(seed=707):
    g = Graph(seed)
    hh = g.op("Reshape", ["h", g.i64([1, HIDDEN])])
    mix = g.op("MatMul", [g.op("MatMul", ["cond", g.weight(COND_FRAMES * WIDTH, RANK)]), g.weight(RANK, HIDDEN)])
    pre = g.op("Add", [g.op("Add", [mix, g.op("MatMul", ["prev", g.weight(KP, HIDDEN)])]),
                       g.op("MatMul", [hh, g.weight(HIDDEN, HIDDEN)])])
    hn = g.op("Add", [g.op("Mul", [hh, g.const(0.8)]), g.op("Mul", [g.op("Tanh", [pre]), g.const(0.2)])])
    g.op("Reshape", [hn, g.i64([1, 1, HIDDEN])], out="hn")
    loud = g.op("Slice", ["cond", g.i64([WIDTH]), g.i64([WIDTH + 1]), g.i64([1])])  # [1,1]
    opening = g.op("Clip", [g.op("Mul", [g.op("Add", [loud, g.const(0.3)]), g.const(0.2)]), g.const(0.0),
                            g.const(0.12)])
    target = g.op("Add", [g.op("Mul", [opening, g.const(lips())]),
                          g.op("Mul", [g.op("Tanh", [g.op("MatMul", [hn, g.weight(HIDDEN, KP)])]), g.const(0.02)])])
    g.op("Add", [g.op("Mul", ["prev", g.const(0.5)]), g.op("Mul", [target, g.const(0.5)])], out="m")
    inputs = [helper.make_tensor_value_info("cond", TensorProto.FLOAT, [1, COND_FRAMES * WIDTH]),
              helper.make_tensor_value_info("prev", TensorProto.FLOAT, [1, KP]),
              helper.make_tensor_value_info("h", TensorProto.FLOAT, [1, 1, HIDDEN])]
    outputs = [helper.make_tensor_value_info("m", TensorProto.FLOAT, [1, KP]),
               helper.make_tensor_value_info("hn", TensorProto.FLOAT, [1, 1, HIDDEN])]
    return g.model(inputs, outputs, "fca_stream")


def write_fca_members(out, nt):
    """fca_stream.onnx and xs_target.bin (nt rows of the director's neutral face) into bundle `out`."""
    save(fca_model(), os.path.join(out, "fca_stream.onnx"))
    write_raw(os.path.join(out, "xs_target.bin"), source_keypoints(nt))
    return out
