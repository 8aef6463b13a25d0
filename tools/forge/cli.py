"""Command line of the forge."""
import argparse
import os
import shutil

from bundle import write_bundle
from demo import write_demo_bundle, write_demo_teeth
from director import director_fixtures, write_director, write_director_bundle
from faults import write_fault
from graphs import graph_fixtures
from identity import driver_fixtures, write_driver_bundle
from imx import bundle_members, write_imx
from m4b import m4b_fixtures, write_m4b, write_m4b_bundle
from int8 import bench_layers, int8_fixtures
from models import tiny_affine
from motion import motion_fixtures, write_motion_pipeline
from tessera import add_teeth, teeth_fixtures
from speech import speech_fixtures, write_motion_bundle, write_speech, write_speech_encoders
from warp_cases import warp_fixtures


def cmd_bundle(a):
    write_bundle(a.out, nt=a.nt, w=a.w, h=a.h, crop=a.crop, frames=a.frames, canonical=a.canonical,
                 spelling=a.spelling, nested_unsharp=a.nested_unsharp)


def cmd_driver_bundle(a):
    write_driver_bundle(a.out, nt=a.nt, w=a.w, h=a.h, crop=a.crop, frames=a.frames, driver=a.driver,
                        prior=a.prior, fs_red=a.fs_red, counted=not a.uncounted)


def cmd_imx(a):
    write_imx(a.out, bundle_members(a.dir), align=a.align, order=a.order, gap=a.gap)


def cmd_director(a):
    account = write_director(a.out, crop=a.crop, batch=a.batch, layout=a.layout, fp16=a.fp16, probe=a.probe)
    print("%s: %s" % (a.out, account))


def cmd_director_bundle(a):
    models = None
    if a.model:
        models = {}
        for entry in a.model:
            name, batch, *rest = entry.split(":")
            models[name] = dict(batch=int(batch), layout=a.layout, fp16=rest == ["fp16"])
    write_director_bundle(a.out, crop=a.crop, nt=a.nt, frames=a.frames, w=a.w, h=a.h, models=models,
                          featsynth=a.layout == "featsynth", driver=a.driver)
    if a.teeth:
        add_teeth(a.out, a.crop, a.nt)


def cmd_fixtures(a):
    """The small fixtures the test suite reads, rebuilt from scratch."""
    out = a.out
    tmp = out + ".tmp"
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    legacy = write_bundle(os.path.join(tmp, "bundle_legacy"))
    write_bundle(os.path.join(tmp, "bundle_canonical"), canonical=True, spelling="alias", nested_unsharp=True,
                 w=80, h=48, crop=16, frames=3, m_src=(160, 96))
    write_imx(os.path.join(tmp, "bundle_legacy.imx"), bundle_members(legacy))
    write_imx(os.path.join(tmp, "bundle_scattered.imx"), bundle_members(legacy), align=1, order="reversed", gap=13)
    tiny_affine(os.path.join(tmp, "tiny_affine.onnx"))
    driver_fixtures(tmp)
    director_fixtures(tmp)
    speech_fixtures(tmp)
    motion_fixtures(tmp)
    graph_fixtures(tmp)
    warp_fixtures(tmp)
    int8_fixtures(tmp)
    m4b_fixtures(tmp)
    teeth_fixtures(tmp)
    shutil.rmtree(out, ignore_errors=True)
    os.replace(tmp, out)


def main(argv):
    p = argparse.ArgumentParser(prog="forge", description="Makes avatar bundles, containers and models.")
    sub = p.add_subparsers(dest="cmd", required=True)

    b = sub.add_parser("bundle", help="a small bundle directory")
    b.add_argument("out")
    b.add_argument("--nt", type=int, default=4)
    b.add_argument("--w", type=int, default=96)
    b.add_argument("--h", type=int, default=64)
    b.add_argument("--crop", type=int, default=32)
    b.add_argument("--frames", type=int, default=6)
    b.add_argument("--canonical", action="store_true", help="canonical member names")
    b.add_argument("--spelling", choices=["primary", "alias"], default="primary", help="manifest key spelling")
    b.add_argument("--nested-unsharp", action="store_true", help="unsharp keys inside a nested block")
    b.set_defaults(fn=cmd_bundle)

    d = sub.add_parser("driver-bundle", help="a bundle with a driver video and a warp prior")
    d.add_argument("out")
    d.add_argument("--nt", type=int, default=6)
    d.add_argument("--w", type=int, default=64)
    d.add_argument("--h", type=int, default=48)
    d.add_argument("--crop", type=int, default=32)
    d.add_argument("--frames", type=int, default=4)
    d.add_argument("--driver", choices=["jpg", "mp4", "both", "none"], default="mp4")
    d.add_argument("--prior", choices=["f16", "hevc", "none"], default="f16")
    d.add_argument("--fs-red", action="store_true")
    d.add_argument("--uncounted", action="store_true", help="bare H.264 stream without a frame count")
    d.set_defaults(fn=cmd_driver_bundle)

    c = sub.add_parser("imx", help="an IMX v2 container of a bundle directory")
    c.add_argument("dir")
    c.add_argument("out")
    c.add_argument("--align", type=int, default=64)
    c.add_argument("--order", choices=["sorted", "reversed", "given"], default="sorted")
    c.add_argument("--gap", type=int, default=0, help="extra bytes between payloads")
    c.set_defaults(fn=cmd_imx)

    f = sub.add_parser("fixtures", help="the test suite's fixtures")
    f.add_argument("out")
    f.set_defaults(fn=cmd_fixtures)

    r = sub.add_parser("director", help="a director model (ONNX, opset 16)")
    r.add_argument("out")
    r.add_argument("--crop", type=int, default=64)
    r.add_argument("--batch", type=int, default=1)
    r.add_argument("--layout", choices=["prgb", "featsynth"], default="prgb")
    r.add_argument("--fp16", action="store_true", help="float16 weights behind Casts")
    r.add_argument("--probe", action="store_true", help="also output grid, warped, alpha and face")
    r.set_defaults(fn=cmd_director)

    s = sub.add_parser("director-bundle", help="a bundle with face images, drive rows and director models")
    s.add_argument("out")
    s.add_argument("--crop", type=int, default=64)
    s.add_argument("--nt", type=int, default=3)
    s.add_argument("--frames", type=int, default=8)
    s.add_argument("--w", type=int, default=96)
    s.add_argument("--h", type=int, default=80)
    s.add_argument("--layout", choices=["prgb", "featsynth"], default="prgb")
    s.add_argument("--driver", choices=["jpg", "mp4", "both"], default="jpg")
    s.add_argument("--model", action="append", default=None, metavar="MEMBER:BATCH[:fp16]",
                   help="e.g. model_render.onnx:1 model_b24_fp32.onnx:24 (default: render and b4)")
    s.add_argument("--teeth", action="store_true", help="also the four teeth members, a lip template and the "
                                                        "source keypoints of the motion bundle of the same --nt")
    s.set_defaults(fn=cmd_director_bundle)

    e = sub.add_parser("demo-bundle", help="the demo: a real portrait, 1280x720 driver, crop 512, a talking drive track")
    e.add_argument("out")
    e.add_argument("--frames", type=int, default=100, help="drive frames (25 per second)")
    e.set_defaults(fn=lambda a: write_demo_bundle(a.out, frames=a.frames))

    dt = sub.add_parser("demo-teeth", help="the demo's teeth members alone, with a talking keypoint track")
    dt.add_argument("out")
    dt.add_argument("--donors", type=int, default=0, help="a bank of this many donors (a square number of shifts "
                                                          "times apertures) instead of the demo's own")
    dt.set_defaults(fn=lambda a: write_demo_teeth(a.out, donors=a.donors))

    gm = sub.add_parser("graph-models", help="the one-node GridSample, cubic head and warp block models of the "
                                              "rewrite tests")
    gm.add_argument("out")
    gm.set_defaults(fn=lambda a: (os.makedirs(a.out, exist_ok=True), graph_fixtures(a.out), warp_fixtures(a.out)))

    mb = sub.add_parser("m4b", help="the fused m4b director the native backend implements (crop 512)")
    mb.add_argument("out")
    mb.add_argument("--size", choices=["full", "tiny"], default="full")
    mb.add_argument("--batch", type=int, default=1)
    mb.add_argument("--int8", action="store_true", help="its convolutions as Int8ConvVNNI nodes")
    mb.add_argument("--probe", action="store_true", help="also output the intermediates the engine can dump")
    mb.set_defaults(fn=lambda a: print("%s: %s" % (a.out, write_m4b(a.out, a.batch, a.size, a.probe, a.int8))))

    mc = sub.add_parser("m4b-bundle", help="a crop-512 bundle whose director is the m4b, with its int8 variant")
    mc.add_argument("out")
    mc.add_argument("--size", choices=["full", "tiny"], default="full")
    mc.add_argument("--batch", type=int, default=1)
    mc.set_defaults(fn=lambda a: print("%s: %s" % (a.out, write_m4b_bundle(a.out, size=a.size, batch=a.batch,
                                                                        int8=True))))

    il = sub.add_parser("int8-layers", help="Int8ConvVNNI, float Conv and ONNX Runtime's int8 path on the "
                                           "benchmark's layers")
    il.add_argument("out")
    il.set_defaults(fn=lambda a: bench_layers(a.out))

    m = sub.add_parser("tiny-model", help="y = 2x + 1, for the runtime smoke test")
    m.add_argument("out")
    m.set_defaults(fn=lambda a: tiny_affine(a.out))

    w = sub.add_parser("speech-encoders", help="the 8 s speech encoder w2v8.onnx and the short-window pair beside it")
    w.add_argument("out")
    w.add_argument("--size", choices=["tiny", "full"], default="tiny")
    w.add_argument("--pair", choices=["sibling", "legacy", "none"], default="sibling")
    w.set_defaults(fn=lambda a: write_speech_encoders(a.out, a.size, None if a.pair == "none" else a.pair))

    o = sub.add_parser("motion-bundle", help="a streaming audio-to-expression motion bundle")
    o.add_argument("out")
    o.add_argument("--size", choices=["tiny", "full"], default="tiny")
    o.add_argument("--nt", type=int, default=None, help="source keypoint rows (the identity's frames)")
    o.add_argument("--no-wn", action="store_true", help="an encoder without the wn output")
    o.set_defaults(fn=lambda a: write_motion_bundle(a.out, a.size, width=not a.no_wn, nt=a.nt))

    mp = sub.add_parser("motion-pipeline", help="a motion-pipeline directory (log-mel student, lmdm, stitch)")
    mp.add_argument("out")
    mp.add_argument("--size", choices=["tiny", "full"], default="tiny")
    mp.add_argument("--nt", type=int, default=None, help="idle frames (source descriptors and keypoints)")
    mp.set_defaults(fn=lambda a: write_motion_pipeline(a.out, a.size, nt=a.nt))

    ft = sub.add_parser("fault", help="a bundle that fails on purpose: director, source-row, encoder or short-driver")
    ft.add_argument("kind", choices=["director", "source-row", "encoder", "short-driver"])
    ft.add_argument("out")
    ft.add_argument("--from", dest="src", help="the bundle to copy and poison")
    ft.add_argument("--at", type=int, default=0, help="the idle row (source-row) or frame (encoder) to poison")
    ft.set_defaults(fn=lambda a: write_fault(a.kind, a.out, a.src, a.at))

    v = sub.add_parser("speech", help="16 kHz mono float32 raw samples spoken by espeak-ng")
    v.add_argument("out")
    v.add_argument("text")
    v.set_defaults(fn=lambda a: write_speech(a.out, a.text))

    a = p.parse_args(argv)
    a.fn(a)
    return 0
