"""The offline stream's members of an avatar bundle: the feature-conditioned
audio model "fca_stream.onnx" and the source keypoints "xs_target.bin".

fca_stream.onnx: "cond" [1,5376] (7 frames x 768 normalised speech features,
the current frame second), "prev" [1,63], "h" [1,1,384] -> "m" [1,63],
"hn" [1,1,384]. Channel 0 of every speech feature is the encoder's loudness
cue c. The voiced-mean normalisation shifts it by an amount that settles
as the utterance goes on, so the model opens the mouth by how far c stands
above a floor it keeps in hidden channel 0, the running minimum of c that
creeps up 0.01 a frame:

  floor = min(c, h[0] + 0.01)
  hn    = 0.8 h + 0.2 tanh(cond A B + prev Wp + h Wh), channel 0 = floor
          (A B: a rank-16 mix of all of cond)
  m     = 0.5 prev + 0.5 (clip(0.15 (c - floor - 0.2), 0, 0.12) * lips + 0.02 tanh(hn Wm))

Silence sits at the floor and keeps the lips closed; loud syllables open
them. prev smooths the motion and the hidden state carries the floor and
every frame's whole context on to the next.
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
    loud = g.op("Slice", ["cond", g.i64([WIDTH]), g.i64([WIDTH + 1]), g.i64([1])])  # [1,1]
    floor = g.op("Min", [loud, g.op("Add", [g.op("Slice", [hh, g.i64([0]), g.i64([1]), g.i64([1])]), g.const(0.01)])])
    state = g.op("Add", [g.op("Mul", [hh, g.const(0.8)]), g.op("Mul", [g.op("Tanh", [pre]), g.const(0.2)])])
    first = np.zeros(HIDDEN, np.float32)
    first[0] = 1
    hn = g.op("Add", [g.op("Mul", [state, g.const(1 - first)]), g.op("Mul", [floor, g.const(first)])])
    g.op("Reshape", [hn, g.i64([1, 1, HIDDEN])], out="hn")
    above = g.op("Sub", [g.op("Sub", [loud, floor]), g.const(0.2)])
    opening = g.op("Clip", [g.op("Mul", [above, g.const(0.15)]), g.const(0.0), g.const(0.12)])
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
