"""Bundles that fail on purpose, for the session's fault table: a director
that fails on one identity frame, a streaming encoder that fails at one
frame of an utterance, and a driver video shorter than its manifest says.

A poisoned model checks one of its inputs for a marker value and, when it
finds it, gathers past the end of a one-element tensor, which ONNX Runtime
refuses at run time. Without the marker the extra nodes add zero."""
import os
import shutil

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

DIRECTOR_MARKER = 12345.0  # in kp_source
ENCODER_MARKER = 777.0     # in pos_window


def fail_when(path, input_name, marker):
    """Rewrites the model at path so that a run whose input holds `marker` fails."""
    m = onnx.load(path)
    g = m.graph
    out = g.output[0].name
    pre = out + "_before_fault"
    for node in g.node:
        node.output[:] = [pre if o == out else o for o in node.output]
    g.initializer.extend([
        numpy_helper.from_array(np.array([marker], np.float32), "fault_marker"),
        numpy_helper.from_array(np.array([0.0], np.float32), "fault_one"),
        numpy_helper.from_array(np.array(1000.0, np.float32), "fault_far"),
    ])
    g.node.extend([
        helper.make_node("Equal", [input_name, "fault_marker"], ["fault_hit"]),
        helper.make_node("Cast", ["fault_hit"], ["fault_hitf"], to=TensorProto.FLOAT),
        helper.make_node("ReduceMax", ["fault_hitf"], ["fault_any"], keepdims=0),
        helper.make_node("Mul", ["fault_any", "fault_far"], ["fault_at"]),
        helper.make_node("Cast", ["fault_at"], ["fault_index"], to=TensorProto.INT64),
        helper.make_node("Gather", ["fault_one", "fault_index"], ["fault_zero"]),
        helper.make_node("Add", [pre, "fault_zero"], [out]),
    ])
    onnx.checker.check_model(m)
    onnx.save(m, path)


def poisoned_director(src, out):
    """A copy of a director bundle whose models fail on kp_source rows holding the marker."""
    shutil.copytree(src, out)
    for name in os.listdir(out):
        if name.startswith("model_") and name.endswith(".onnx"):
            fail_when(os.path.join(out, name), "kp_source", DIRECTOR_MARKER)


def poisoned_source_row(src, out, row):
    """A copy of a motion bundle whose idle frame `row` carries the director's marker."""
    shutil.copytree(src, out)
    path = os.path.join(out, "xs_target.bin")
    xs = np.fromfile(path, np.float32).reshape(-1, 63)
    xs[row, 0] = DIRECTOR_MARKER
    xs.tofile(path)


def poisoned_encoder(src, out, frame):
    """A copy of a streaming motion bundle whose encoder fails on any band that holds frame `frame`."""
    shutil.copytree(src, out)
    fail_when(os.path.join(out, "a2x_enc_stream.onnx"), "pos_window", ENCODER_MARKER)
    path = os.path.join(out, "a2x_pos.f32")
    meta = open(os.path.join(out, "a2x_meta.json")).read()
    h = int(meta.split('"h":')[1].split(",")[0].split("}")[0])
    pos = np.fromfile(path, np.float32).reshape(-1, h)
    pos[frame, 0] = ENCODER_MARKER
    pos.tofile(path)


def short_driver(out, nt=4, frames_in_video=2):
    """A director bundle whose MP4 driver ends after `frames_in_video` of its nt frames, without saying so."""
    from director import write_director_bundle
    write_director_bundle(out, nt=nt, frames=8, models={"model_render.onnx": dict(batch=1)}, driver="mp4",
                          driver_nt=frames_in_video, counted=False)


def write_fault(kind, out, src=None, at=0):
    if kind == "director":
        poisoned_director(src, out)
    elif kind == "source-row":
        poisoned_source_row(src, out, at)
    elif kind == "encoder":
        poisoned_encoder(src, out, at)
    elif kind == "short-driver":
        short_driver(out)
    else:
        raise SystemExit("forge fault: unknown kind " + kind)
