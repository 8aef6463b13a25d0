"""Speech encoders and motion bundles: ONNX graphs with the tensor names and
shapes the engine's audio-to-expression stage reads.

No trained speech model exists here, so the forge builds seeded random ones
with one designed path that makes motion follow speech:

  cue     two frame cues at an 80-sample hop, computed by fixed Convs from
          the (window-normalised) audio: loudness L = log10(mean x^2 + 1e-3)/3
          + 1 and high-band energy B, the same with x[n] - x[n-1]. Both are
          exactly 0 for silence and about 1 for speech.
  8 s     "input_values" [1,128000] -> strided Conv front end -> the cue steps
          interpolated to the 200-frame grid (frame k at step k*1598/199) ->
          a transformer -> "audio_emb" [12,200,768]; channels 0 and 1 of every
          layer carry L and B.
  trunk   "input_values" [1,32000] -> Conv front end -> float16 [1,640,LT]
          (LT = 401 steps at hop 80); channels 0 and 1 are L and B.
  head    "x" [8,640] -> "emb" [8,9216]: a per-frame MLP; channels 0 and 1 of
          every layer copy trunk channels 0 and 1.
  encoder a2x_enc_stream.onnx: feat [1,T,12,768], pos_window [1,T,h],
          attn [1,1,T,T] -> ctx [1,T,h] (+ wn [1,T]). Channel 0 of ctx is the
          mean loudness over the layers, smoothed by every layer through its
          masked attention; the rest are random residual attention layers.
  decoder a2x_dec.onnx: ctx_t [1,h], prev [1,63], h [1,1,h] -> m [1,63],
          h_out [1,1,h]. A leaky recurrent state; the lip rows' m follows
          ctx channel 0 half-way from prev: the mouth opens with loud speech.
"""
import json
import os
import shutil
import subprocess

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17
HOP = 80
WIN8 = 128000
WIN2 = 32000
FRAMES8 = 200
LAYERS = 12
WIDTH = 768
TRUNK_CH = 640
CUE_K = 400  # cue window in samples, centred on its step
LIP_ROWS = (6, 12, 14, 17, 19, 20)
UPPER, LOWER = (14, 19), (17, 20)

# Model sizes. "full" has the compute shape of a 12-layer, 768-wide speech
# transformer (about 90 M parameters), and a pair whose trunk and head cost
# about a third of that encoder per second of speech (the a2x benchmark
# measures the ratio); "tiny" keeps the interface only.
SIZES = {
    "tiny": dict(fe=8, d=32, ff=64, blocks=2, trunk_fe=8, trunk_mid=16, head_hidden=16,
                 h=32, window=2, left=4, layers=2, pos=64, nt=4),
    "full": dict(fe=512, d=768, ff=3072, blocks=12, trunk_fe=256, trunk_mid=384, head_hidden=768,
                 h=256, window=3, left=8, layers=6, pos=400, nt=50),
}


class Graph:
    """Nodes and initializers with generated value names."""

    def __init__(self, seed):
        self.nodes, self.inits, self.n = [], [], 0
        self.rng = np.random.default_rng(seed)

    def fresh(self, stem):
        self.n += 1
        return "%s_%d" % (stem, self.n)

    def const(self, value, dtype=np.float32):
        name = self.fresh("c")
        self.inits.append(numpy_helper.from_array(np.asarray(value, dtype), name))
        return name

    def i64(self, value):
        return self.const(value, np.int64)

    def op(self, op_type, inputs, out=None, domain=None, **attrs):
        o = out or self.fresh(op_type.lower())
        self.nodes.append(helper.make_node(op_type, inputs, [o], name=self.fresh("/" + op_type), domain=domain,
                                           **attrs))
        return o

    def weight(self, fan_in, fan_out, gain=1.0):
        return self.const(self.rng.normal(0, gain / np.sqrt(fan_in), (fan_in, fan_out)))

    def model(self, inputs, outputs, name):
        graph = helper.make_graph(self.nodes, name, inputs, outputs, initializer=self.inits)
        m = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)], producer_name="forge")
        m.ir_version = 8
        return m


def save(model, path):
    onnx.checker.check_model(model)
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    onnx.save(model, path)


def cue_steps(g, audio, n):
    """[1,2,L] loudness and high-band cues of [1,n] audio, one step every 80 samples."""
    x = g.op("Reshape", [audio, g.i64([1, 1, -1])])
    d = g.op("Conv", [x, g.const(np.array([-1.0, 1.0]).reshape(1, 1, 2))], pads=[1, 0])
    both = g.op("Concat", [g.op("Mul", [x, x]), g.op("Mul", [d, d])], axis=1)  # [1,2,n]
    avg = np.zeros((2, 1, CUE_K), np.float32) + 1.0 / CUE_K
    e = g.op("Conv", [both, g.const(avg)], group=2, strides=[HOP], pads=[CUE_K // 2, CUE_K // 2])
    lg = g.op("Div", [g.op("Log", [g.op("Add", [e, g.const(1e-3)])]), g.const(3.0 * np.log(10.0))])
    return g.op("Add", [lg, g.const(1.0)])


def front_end(g, audio, n, channels):
    """[1,channels,L] random strided Conv features of the audio (GELU)."""
    x = g.op("Reshape", [audio, g.i64([1, 1, -1])])
    w = g.rng.normal(0, 1.0 / np.sqrt(CUE_K), (channels, 1, CUE_K))
    y = g.op("Conv", [x, g.const(w)], strides=[HOP], pads=[CUE_K // 2, CUE_K // 2])
    return gelu(g, y)


def gelu(g, x):
    """The erf form 0.5 x (1 + erf(x / sqrt 2)), which the runtime fuses into one node."""
    e = g.op("Erf", [g.op("Div", [x, g.const(np.sqrt(2.0))])])
    return g.op("Mul", [g.op("Mul", [x, g.op("Add", [e, g.const(1.0)])]), g.const(0.5)])


def layer_norm(g, x, d):
    return g.op("LayerNormalization", [x, g.const(np.ones(d)), g.const(np.zeros(d))], axis=-1, epsilon=1e-5)


def step_interp(steps):
    """[steps,200]: frame k of an 8 s window reads step k*1598/199, linearly."""
    m = np.zeros((steps, FRAMES8), np.float32)
    for k in range(FRAMES8):
        p = k * 1598.0 / 199.0
        i0 = int(np.floor(p))
        a = p - i0
        m[i0, k] += 1 - a
        m[min(i0 + 1, steps - 1), k] += a
    return m


def cue_into_layer(g, hidden, cue):
    """hidden [200,768] with channels 0 and 1 replaced by the cue [200,2]."""
    keep = np.ones(WIDTH, np.float32)
    keep[:2] = 0
    place = np.zeros((2, WIDTH), np.float32)
    place[0, 0] = place[1, 1] = 1
    return g.op("Add", [g.op("Mul", [hidden, g.const(keep)]), g.op("MatMul", [cue, g.const(place)])])


def w2v8_model(size, seed=101):
    """The 8 s encoder: "input_values" [1,128000] -> "audio_emb" [12,200,768]."""
    s = SIZES[size]
    g = Graph(seed)
    steps = WIN8 // HOP + 1
    interp = g.const(step_interp(steps))
    cue = g.op("MatMul", [g.op("Reshape", [cue_steps(g, "input_values", WIN8), g.i64([2, steps])]), interp])
    cue = g.op("Transpose", [cue], perm=[1, 0])  # [200,2]
    fe = front_end(g, "input_values", WIN8, s["fe"])  # [1,fe,steps]
    frames = g.op("Transpose", [g.op("MatMul", [g.op("Reshape", [fe, g.i64([s["fe"], steps])]), interp])],
                  perm=[1, 0])  # [200,fe]
    d = s["d"]
    x = g.op("MatMul", [frames, g.weight(s["fe"], d)])
    outs = []
    for layer in range(LAYERS):
        if layer < s["blocks"]:
            y = layer_norm(g, x, d)
            q = g.op("MatMul", [y, g.weight(d, d)])
            k = g.op("MatMul", [y, g.weight(d, d)])
            v = g.op("MatMul", [y, g.weight(d, d)])
            sc = g.op("Div", [g.op("MatMul", [q, g.op("Transpose", [k], perm=[1, 0])]), g.const(np.sqrt(d))])
            a = g.op("MatMul", [g.op("Softmax", [sc], axis=-1), v])
            x = g.op("Add", [x, g.op("MatMul", [a, g.weight(d, d, 0.5)])])
            f = gelu(g, g.op("MatMul", [layer_norm(g, x, d), g.weight(d, s["ff"])]))
            x = g.op("Add", [x, g.op("MatMul", [f, g.weight(s["ff"], d, 0.5)])])
        hidden = x if d == WIDTH else g.op("MatMul", [x, g.weight(d, WIDTH)])
        outs.append(g.op("Unsqueeze", [cue_into_layer(g, hidden, cue), g.i64([0])]))
    g.op("Concat", outs, out="audio_emb", axis=0)
    return g.model([helper.make_tensor_value_info("input_values", TensorProto.FLOAT, [1, WIN8])],
                   [helper.make_tensor_value_info("audio_emb", TensorProto.FLOAT, [LAYERS, FRAMES8, WIDTH])], "w2v8")


def trunk_model(size, seed=202, declare_steps=True):
    """"input_values" [1,32000] -> float16 [1,640,LT], LT = 401 steps at hop 80."""
    s = SIZES[size]
    g = Graph(seed)
    steps = WIN2 // HOP + 1
    cue = cue_steps(g, "input_values", WIN2)  # [1,2,steps]
    fe = front_end(g, "input_values", WIN2, s["trunk_fe"])
    mid = g.op("Conv", [fe, g.const(g.rng.normal(0, 1 / np.sqrt(3 * s["trunk_fe"]), (s["trunk_mid"], s["trunk_fe"], 3)))],
               pads=[1, 1])
    mid = gelu(g, mid)
    rest = g.op("Conv", [mid, g.const(g.rng.normal(0, 1 / np.sqrt(s["trunk_mid"]), (TRUNK_CH - 2, s["trunk_mid"], 1)))])
    y = g.op("Concat", [cue, rest], axis=1)
    g.op("Cast", [y], out="trunk_out", to=TensorProto.FLOAT16)
    # without declared sizes the runtime cannot infer the step count either
    lt = steps if declare_steps else "steps"
    return g.model([helper.make_tensor_value_info("input_values", TensorProto.FLOAT,
                                                  [1, WIN2 if declare_steps else "samples"])],
                   [helper.make_tensor_value_info("trunk_out", TensorProto.FLOAT16, [1, TRUNK_CH, lt])], "trunk")


def head_model(size, seed=303):
    """"x" [8,640] -> "emb" [8,9216]; channels 0 and 1 of every layer copy x channels 0 and 1."""
    s = SIZES[size]
    g = Graph(seed)
    hid = gelu(g, g.op("MatMul", ["x", g.weight(TRUNK_CH, s["head_hidden"])]))
    y = g.op("MatMul", [hid, g.weight(s["head_hidden"], LAYERS * WIDTH)])
    keep = np.ones(LAYERS * WIDTH, np.float32)
    place = np.zeros((2, LAYERS * WIDTH), np.float32)
    for layer in range(LAYERS):
        for c in range(2):
            keep[layer * WIDTH + c] = 0
            place[c, layer * WIDTH + c] = 1
    cue = g.op("Slice", ["x", g.i64([0]), g.i64([2]), g.i64([1])])
    g.op("Add", [g.op("Mul", [y, g.const(keep)]), g.op("MatMul", [cue, g.const(place)])], out="emb")
    return g.model([helper.make_tensor_value_info("x", TensorProto.FLOAT, [8, TRUNK_CH])],
                   [helper.make_tensor_value_info("emb", TensorProto.FLOAT, [8, LAYERS * WIDTH])], "head")


def gelu16_model():
    """A float16 erf-Gelu between two float casts: level-2 fusion makes it a float16 com.microsoft.Gelu."""
    g = Graph(7)
    x = g.op("Cast", ["x"], to=TensorProto.FLOAT16)
    div = g.op("Div", [x, g.const(np.sqrt(2.0), np.float16)])
    e = g.op("Erf", [div])
    y = g.op("Mul", [g.op("Mul", [x, g.op("Add", [e, g.const(1.0, np.float16)])]), g.const(0.5, np.float16)])
    g.op("Cast", [y], out="y", to=TensorProto.FLOAT)
    return g.model([helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 8])],
                   [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 8])], "gelu16")


def gelu16_ms_model():
    """A float16 com.microsoft.Gelu between two float casts, as the fusion would leave it."""
    nodes = [helper.make_node("Cast", ["x"], ["x16"], to=TensorProto.FLOAT16),
             helper.make_node("Gelu", ["x16"], ["y16"], domain="com.microsoft"),
             helper.make_node("Cast", ["y16"], ["y"], to=TensorProto.FLOAT)]
    graph = helper.make_graph(nodes, "gelu16_ms", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 8])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 8])])
    m = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET), helper.make_opsetid("com.microsoft", 1)])
    m.ir_version = 8
    return m


def gelu16_refused_model():
    """A graph the runtime refuses with a text naming a Gelu node and float16 (mixed Add types)."""
    nodes = [helper.make_node("Cast", ["x"], ["x16"], to=TensorProto.FLOAT16),
             helper.make_node("Add", ["x16", "x"], ["y"], name="Gelu_mixed")]
    graph = helper.make_graph(nodes, "gelu16_refused", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 8])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 8])])
    m = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)])
    m.ir_version = 8
    return m  # deliberately not checked: the checker would refuse it too


# --- motion bundle ---


def encoder_model(size, width_out=True, seed=404):
    """a2x_enc_stream.onnx: masked residual attention over the band; ctx channel 0 = smoothed loudness."""
    s = SIZES[size]
    h = s["h"]
    g = Graph(seed)
    feat = g.op("Reshape", ["feat", g.i64([0, 0, LAYERS * WIDTH])])  # [1,T,9216]
    w = g.rng.normal(0, 0.5 / np.sqrt(LAYERS * WIDTH), (LAYERS * WIDTH, h))
    w[:, 0] = 0
    for layer in range(LAYERS):
        w[layer * WIDTH, 0] = 1.0 / LAYERS  # mean loudness over the layers
    x = g.op("Add", [g.op("MatMul", [feat, g.const(w)]), "pos_window"])
    # every layer: x += A(x) Wo with channel 0 replaced by its masked average, which
    # smooths the cue over the attention window (a wrong mask or band shows)
    keep = np.ones(h, np.float32)
    keep[0] = 0
    for _ in range(s["layers"]):
        q = g.op("MatMul", [x, g.weight(h, h, 0.5)])
        k = g.op("MatMul", [x, g.weight(h, h, 0.5)])
        wv = g.rng.normal(0, 1 / np.sqrt(h), (h, h))
        wv[:, 0] = 0
        wv[0, :] = 0
        wv[0, 0] = 1
        v = g.op("MatMul", [x, g.const(wv)])
        sc = g.op("Add", [g.op("Div", [g.op("MatMul", [q, g.op("Transpose", [k], perm=[0, 2, 1])]),
                                       g.const(np.sqrt(h))]), g.op("Squeeze", ["attn", g.i64([1])])])
        a = g.op("MatMul", [g.op("Softmax", [sc], axis=-1), v])  # [1,T,h]
        wo = g.rng.normal(0, 0.3 / np.sqrt(h), (h, h))
        wo[0, :] = 0
        wo[:, 0] = 0
        upd = g.op("Tanh", [g.op("MatMul", [a, g.const(wo)])])
        smooth = np.zeros(h, np.float32)
        smooth[0] = 1
        x = g.op("Add", [g.op("Mul", [g.op("Add", [x, upd]), g.const(keep)]), g.op("Mul", [a, g.const(smooth)])])
    g.op("Identity", [x], out="ctx")
    outputs = [helper.make_tensor_value_info("ctx", TensorProto.FLOAT, [1, "T", h])]
    if width_out:
        wn = g.op("Sigmoid", [g.op("MatMul", [x, g.const(g.rng.normal(0, 1 / np.sqrt(h), (h, 1)))])])
        g.op("Squeeze", [wn, g.i64([2])], out="wn")
        outputs.append(helper.make_tensor_value_info("wn", TensorProto.FLOAT, [1, "T"]))
    inputs = [helper.make_tensor_value_info("feat", TensorProto.FLOAT, [1, "T", LAYERS, WIDTH]),
              helper.make_tensor_value_info("pos_window", TensorProto.FLOAT, [1, "T", h]),
              helper.make_tensor_value_info("attn", TensorProto.FLOAT, [1, 1, "T", "T"])]
    return g.model(inputs, outputs, "a2x_enc_stream")


def lip_sign():
    """[63] +1 on the lower lip y, -1 on the upper lip y, 0 elsewhere: m = opening * sign."""
    sgn = np.zeros(63, np.float32)
    for r in UPPER:
        sgn[3 * r + 1] = -1
    for r in LOWER:
        sgn[3 * r + 1] = 1
    sgn[3 * 6] = -0.5  # mouth corners widen a little
    sgn[3 * 12] = 0.5
    return sgn


def decoder_model(size, seed=505):
    """a2x_dec.onnx: h_out = 0.8 h + 0.2 tanh(ctx Wc + prev Wp + h Wh); m = 0.5 prev + 0.5 (target + h_out Wm)."""
    s = SIZES[size]
    h = s["h"]
    g = Graph(seed)
    hh = g.op("Reshape", ["h", g.i64([1, h])])
    pre = g.op("Add", [g.op("Add", [g.op("MatMul", ["ctx_t", g.weight(h, h)]), g.op("MatMul", ["prev", g.weight(63, h)])]),
                       g.op("MatMul", [hh, g.weight(h, h)])])
    hn = g.op("Add", [g.op("Mul", [hh, g.const(0.8)]), g.op("Mul", [g.op("Tanh", [pre]), g.const(0.2)])])
    g.op("Reshape", [hn, g.i64([1, 1, h])], out="h_out")
    pick = np.zeros((h, 63), np.float32)
    pick[0] = lip_sign()  # the opening follows ctx channel 0
    target = g.op("Add", [g.op("MatMul", ["ctx_t", g.const(pick)]), g.op("MatMul", [hn, g.weight(h, 63, 0.1)])])
    g.op("Add", [g.op("Mul", ["prev", g.const(0.5)]), g.op("Mul", [target, g.const(0.5)])], out="m")
    inputs = [helper.make_tensor_value_info("ctx_t", TensorProto.FLOAT, [1, h]),
              helper.make_tensor_value_info("prev", TensorProto.FLOAT, [1, 63]),
              helper.make_tensor_value_info("h", TensorProto.FLOAT, [1, 1, h])]
    outputs = [helper.make_tensor_value_info("m", TensorProto.FLOAT, [1, 63]),
               helper.make_tensor_value_info("h_out", TensorProto.FLOAT, [1, 1, h])]
    return g.model(inputs, outputs, "a2x_dec")


def source_keypoints(nt):
    """[nt,63]: the director's neutral face, nodding a little from frame to frame."""
    from director import face_keypoints

    rows = []
    for i in range(nt):
        kp = face_keypoints(0.0).copy()
        kp[:, 1] += 0.01 * np.sin(2 * np.pi * i / max(nt, 1))
        rows.append(kp.reshape(63))
    return np.stack(rows).astype(np.float32)


def write_raw(path, array):
    with open(path, "wb") as f:
        f.write(np.ascontiguousarray(array, np.float32).tobytes())


def write_motion_bundle(out, size="tiny", width=True, meta_width=None, silence_prime=0, nt=None, canonical=False,
                        meta=None):
    """A motion bundle directory. meta overrides the meta text; meta_width the meta "width" value."""
    s = SIZES[size]
    os.makedirs(out, exist_ok=True)
    h = s["h"]
    if meta is None:
        fields = {"h": h, "window": s["window"], "left": s["left"], "layers": s["layers"],
                  "width": width if meta_width is None else meta_width, "silence_prime": silence_prime}
        meta = json.dumps(fields)
    with open(os.path.join(out, "a2x_meta.json"), "w") as f:
        f.write(meta)
    rng = np.random.default_rng(606)
    pos = rng.normal(0, 0.1, (s["pos"], h))
    pos[:, 0] = 0  # the loudness channel stays clean
    write_raw(os.path.join(out, "a2x_pos.f32"), pos)
    std = np.full(63, 0.01, np.float32)
    std[np.nonzero(lip_sign())] = 0.04
    write_raw(os.path.join(out, "a2x_norm.f32"), np.concatenate([np.zeros(63, np.float32), std]))
    names = {"xs_target.bin": "target_keypoints.bin", "a2x_enc_stream.onnx": "audio_motion_encoder.onnx",
             "a2x_dec.onnx": "audio_motion_decoder.onnx"}
    name = (lambda n: names[n]) if canonical else (lambda n: n)  # noqa: E731
    write_raw(os.path.join(out, name("xs_target.bin")), source_keypoints(nt or s["nt"]))
    save(encoder_model(size, width), os.path.join(out, name("a2x_enc_stream.onnx")))
    save(decoder_model(size), os.path.join(out, name("a2x_dec.onnx")))
    return out


def write_speech_encoders(out, size="tiny", pair="sibling", declare_steps=True):
    """w2v8.onnx, plus the short-window pair under its sibling or legacy names (pair=None: none)."""
    os.makedirs(out, exist_ok=True)
    save(w2v8_model(size), os.path.join(out, "w2v8.onnx"))
    names = {"sibling": ("audio_encoder_fp16_window_trunk.onnx", "audio_encoder_fp16_window_head.onnx"),
             "legacy": ("w2v_trunk32.onnx", "w2v_head32.onnx")}
    if pair:
        trunk, head = names[pair]
        save(trunk_model(size, declare_steps=declare_steps), os.path.join(out, trunk))
        save(head_model(size), os.path.join(out, head))
    return out


SENTENCES = {
    "speech_a": "The quick brown fox jumps over the lazy dog, then rests.",
    "speech_b": "Hello there. Speech goes in, and frames come out.",
}


def write_speech(path, text, pad_s=0.5):
    """16 kHz mono float32 raw samples of espeak-ng speaking `text`, with silence around it."""
    wav = path + ".wav"
    subprocess.run(["espeak-ng", "-s", "150", "-w", wav, text], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["sox", wav, "-r", "16000", "-c", "1", "-e", "floating-point", "-b", "32", "-t", "raw",
                    path + ".tmp", "pad", str(pad_s), str(pad_s)], check=True)
    os.replace(path + ".tmp", path)
    os.remove(wav)
    return path


def speech_fixtures(tmp):
    """Speech encoders, motion bundles with every broken variant, and spoken test audio (all tiny)."""
    j = lambda *p: os.path.join(tmp, *p)  # noqa: E731
    write_speech_encoders(j("w2v"), pair=None)

    def beside(dirname, files):
        os.makedirs(j(dirname), exist_ok=True)
        os.symlink(os.path.join("..", "w2v", "w2v8.onnx"), j(dirname, "w2v8.onnx"))
        for name, model in files.items():
            if isinstance(model, bytes):
                with open(j(dirname, name), "wb") as f:
                    f.write(model)
            else:
                save(model, j(dirname, name))

    trunk, head = trunk_model("tiny"), head_model("tiny")
    pair = {"audio_encoder_fp16_window_trunk.onnx": trunk, "audio_encoder_fp16_window_head.onnx": head}
    beside("w2v_pair", pair)
    beside("w2v_legacy", {"w2v_trunk32.onnx": trunk, "w2v_head32.onnx": head})
    # one file of the sibling pair only: the legacy pair beside it is taken
    beside("w2v_half", {"audio_encoder_fp16_window_trunk.onnx": trunk, "w2v_trunk32.onnx": trunk,
                        "w2v_head32.onnx": head})
    beside("w2v_broken", {"audio_encoder_fp16_window_trunk.onnx": b"not a model",
                          "audio_encoder_fp16_window_head.onnx": head})
    beside("w2v_undeclared", {"audio_encoder_fp16_window_trunk.onnx": trunk_model("tiny", declare_steps=False),
                              "audio_encoder_fp16_window_head.onnx": head})
    # the pair serves the stream but silence priming needs the 8 s encoder: none here...
    beside("w2v_pair_no8s", pair)
    os.remove(j("w2v_pair_no8s", "w2v8.onnx"))
    # ...and here one that loads but refuses an 8 s window (it is the 2 s trunk)
    beside("w2v_prime_fails", pair)
    os.remove(j("w2v_prime_fails", "w2v8.onnx"))
    os.symlink("audio_encoder_fp16_window_trunk.onnx", j("w2v_prime_fails", "w2v8.onnx"))
    save(gelu16_model(), j("gelu16.onnx"))
    save(gelu16_ms_model(), j("gelu16_ms.onnx"))
    onnx.save(gelu16_refused_model(), j("gelu16_refused.onnx"))

    a2x = lambda name, **kw: write_motion_bundle(j("a2x", name), **kw)  # noqa: E731
    a2x("ok")
    a2x("ok_narrow", width=False)
    a2x("canonical", canonical=True)
    a2x("primed", silence_prime=8)
    a2x("nt1", nt=1)
    a2x("width_meta_false", meta_width=False)
    a2x("width_meta_true", width=False, meta_width=True)
    a2x("no_window", meta='{"h": 32, "left": 4, "layers": 2}')
    a2x("empty_meta", meta="")
    os.remove(os.path.join(a2x("no_meta"), "a2x_meta.json"))
    write_raw(os.path.join(a2x("short_pos"), "a2x_pos.f32"), np.zeros(32))
    write_raw(os.path.join(a2x("short_norm"), "a2x_norm.f32"), np.zeros(125))
    write_raw(os.path.join(a2x("empty_xs"), "xs_target.bin"), np.zeros(0))
    os.remove(os.path.join(a2x("no_decoder"), "a2x_dec.onnx"))
    with open(os.path.join(a2x("bad_encoder"), "a2x_enc_stream.onnx"), "wb") as f:
        f.write(b"not a model")

    for name, text in SENTENCES.items():
        write_speech(j(name + ".f32"), text)
