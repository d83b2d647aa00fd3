#!/usr/bin/python3
"""A user's own models and the mistakes users make with them, through
gst-launch-1.0 as a user runs it: each mistake either works or ends in a
message naming the fix, and correct settings stay quiet.

  check_mistakes.py BUILD_DIR SOURCE_DIR
"""
import collections
import os
import re
import shutil
import subprocess
import sys
import tempfile

CFG = "/usr/share/darknet/cfg/yolov3-tiny.cfg"
SCALE = 'scale=0.00392156862745098 mean="0 0 0"'
failures = []


def run(line, cwd, env, debug=None):
    e = dict(env)
    if debug:
        e["GST_DEBUG"] = debug
    r = subprocess.run(["bash", "-c", "gst-launch-1.0 " + line], cwd=cwd, env=e, timeout=300,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return r.returncode, r.stdout


def check(name, ok, out=""):
    print("%s: %s" % (name, "ok" if ok else "FAILED"))
    if not ok:
        failures.append(name)
        print(out[-2500:])


def expect(name, line, cwd, env, text, error):
    """`text` in the output; an error (exit not 0) or a warning (exit 0)."""
    rc, out = run(line, cwd, env)
    kind = "ERROR" if error else "WARNING"
    ok = (rc != 0) == error and re.search(kind + r": from element .*" + re.escape(text), out)
    check(name, bool(ok), out)
    return out


def box_sizes(out, side):
    """Sizes in input pixels of the boxes that do not touch the frame edge."""
    sizes = collections.Counter()
    for m in re.finditer(r"Box\[\d+\] \(([\d.]+),([\d.]+)\)-\(([\d.]+),([\d.]+)\)", out):
        x1, y1, x2, y2 = map(float, m.groups())
        if x1 > 0 and y1 > 0 and x2 < 1 and y2 < 1:
            sizes[(round((x2 - x1) * side), round((y2 - y1) * side))] += 1
    return sizes


LOGITS_MODEL = r'''
import sys
import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper
# green scores 1, every other class below 0: the ONNX classifier of a user
# whose last layer gives logits
w = np.zeros((3, 3, 1, 1), np.float32)
w[1, 1] = 4.0
b = np.array([-3.0, -3.0, -1.0], np.float32)
g = helper.make_graph(
    [helper.make_node("GlobalAveragePool", ["data"], ["p"]),
     helper.make_node("Conv", ["p", "w", "b"], ["logits"], kernel_shape=[1, 1])],
    "logits", [helper.make_tensor_value_info("data", TensorProto.FLOAT, [1, 3, 32, 32])],
    [helper.make_tensor_value_info("logits", TensorProto.FLOAT, [1, 3, 1, 1])],
    [numpy_helper.from_array(w, "w"), numpy_helper.from_array(b, "b")])
m = helper.make_model(g, opset_imports=[helper.make_opsetid("", 11)])
m.ir_version = 6
onnx.save(m, sys.argv[1])
'''


def main():
    build, source = (os.path.abspath(p) for p in sys.argv[1:3])
    models = os.path.join(build, "models")
    tool = os.path.join(build, "bin", "ov-build-engine")
    work = tempfile.mkdtemp(prefix="model-mistakes-")
    env = dict(os.environ)
    env.pop("GST_DEBUG", None)
    try:
        shutil.copy(CFG, os.path.join(work, "tiny.cfg"))
        subprocess.run(["/usr/bin/python3", os.path.join(source, "tools/darknet-weights.py"),
                        "tiny.cfg", "tiny.weights", "--designed-boxes"], cwd=work, check=True,
                       stdout=subprocess.DEVNULL)
        r = subprocess.run([tool, "--darknet", "tiny.cfg", "--weights", "tiny.weights",
                            "--save", "tiny.engine"], cwd=work, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True)
        line = re.search(r"^ovtranslator: (topology=yolov3 .*)$", r.stdout, re.M)
        check("ov-build-engine prints the cfg's anchors and masks",
              r.returncode == 0 and line is not None and
              'anchors="10,14, 23,27, 37,58, 81,82, 135,169, 344,319" masks="3,4,5;0,1,2"'
              in line.group(1), r.stdout)
        r = subprocess.run([tool, "--darknet", "tiny.cfg", "--weights", "tiny.weights",
                            "--input-size", "400x400", "--save", "x.engine"], cwd=work,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        check("--input-size 400x400 names the multiples of 32",
              r.returncode != 0 and "must be multiples of 32 (for example 384x384 or 416x416"
              in r.stdout, r.stdout)

        for model, kind in (("colour_classifier", "topology=classifier"),
                            ("colour_segmenter", "topology=segment"),
                            ("ball_detector", "topology=yolov3 engine_type=tensorrt")):
            r = subprocess.run([tool, "--onnx", "%s/%s.onnx" % (models, model), "--save",
                                "x.engine"], cwd=work, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True)
            check("ov-build-engine suggests %s for %s" % (kind, model),
                  r.returncode == 0 and "ovtranslator: " + kind in r.stdout, r.stdout)

        # yolov3-tiny: every cell finds a box of its head's first anchor
        tiny = ("videotestsrc num-buffers=1 ! video/x-raw,format=BGR,width=416,height=416 "
                "! ovmetawriter ! ovrt model=tiny.engine %s channel-order=rgb "
                "! ovtranslator topology=yolov3 engine_type=tensorrt %%s ! ovmetadumper ! fakesink"
                % SCALE)
        rc, out = run(tiny % line.group(1).split("engine_type=tensorrt ")[1], work, env)
        sizes = box_sizes(out, 416)
        check("yolov3-tiny with the printed line: boxes of the cfg's anchors",
              rc == 0 and set(sizes) == {(81, 82), (10, 14)} and sizes[(10, 14)] == 26 * 26,
              out[-1500:] + str(sizes))
        expect("yolov3-tiny without anchors warns", tiny % "", work, env,
               "The built-in YOLO anchors do not fit this network.", error=False)

        ball = ("videotestsrc pattern=ball num-buffers=2 ! video/x-raw,format=BGR,width=320,"
                "height=240 ! ovmetawriter ! ovrt model=%s/ball_detector.engine %s "
                "! ovtranslator topology=yolov3 label=%s/ball_detector.labels %%s ! fakesink"
                % (models, SCALE, models))
        out = expect("heads in the wrong order", ball % "engine_type=tensorrt "
                     "dims=1,18,52,52,1,18,26,26,1,18,13,13", work, env,
                     'Property "dims" does not fit the engine\'s outputs.', error=True)
        check("the dims error names the engine's shapes and the fix",
              "1x18x13x13, 1x18x26x26, 1x18x52x52" in out and
              "set dims=1,18,13,13,1,18,26,26,1,18,52,52" in out, out)
        out = expect("input size of another engine", ball % "engine_type=tensorrt input_width=320",
                     work, env, '"input_width" and "input_height" do not fit the engine', True)
        check("the input size error names 416x416", "set input_width=416 input_height=416" in out,
              out)
        expect("engine_type=openvino on raw heads", ball % "engine_type=openvino "
               'masks="6,7,8;3,4,5;0,1,2"', work, env,
               "The YOLO outputs are not activated as engine_type=openvino expects.", False)
        out = expect("masks against the head order", ball % 'engine_type=tensorrt '
                     'masks="0,1,2;3,4,5;6,7,8"', work, env,
                     "The YOLO heads are not in the order the masks expect.", True)
        check("the order error gives the masks that fit", 'set masks="6,7,8;3,4,5;0,1,2"' in out,
              out)

        # the README's own dims on the batched detector are quiet
        rc, out = run("ovvideobatch name=b ! ovrt model=%s/ball_detector.engine batch=2 %s "
                      "! ovtranslator topology=yolov3 engine_type=tensorrt "
                      "dims=2,18,13,13,2,18,26,26,2,18,52,52 input_width=416 input_height=416 "
                      "! fakesink videotestsrc pattern=ball num-buffers=5 ! video/x-raw,format=BGR,"
                      "width=320,height=240 ! ovmetawriter ! b.sink_0 videotestsrc pattern=ball "
                      "num-buffers=5 ! video/x-raw,format=BGR,width=256,height=192 ! ovmetawriter "
                      "! b.sink_1" % (models, SCALE), work, env, debug="ovtranslator:2,ovTSRT:2")
        check("correct YOLO dims are quiet", rc == 0 and " WARN " not in out and
              "WARNING" not in out, out)

        classify = ("videotestsrc pattern=%%s num-buffers=2 ! video/x-raw,format=BGR,width=64,"
                    "height=64 ! ovmetawriter ! ovrt model=%%s %s %%s ! ovtranslator "
                    "topology=classifier label=%s/colour_classifier.labels %%s ! ovmetadumper "
                    "! fakesink" % (SCALE, models))
        cls = models + "/colour_classifier.engine"
        out = expect("dims=1,2 on an 8-class output", classify % ("green", cls, "", "dims=1,2"),
                     work, env, 'Property "dims" does not fit the engine\'s outputs.', True)
        check("the classifier dims error gives 1,8", "set dims=1,8" in out, out)
        rc, out = run(classify % ("red", cls, "channel-order=rgb", ""), work, env)
        check("channel-order=rgb swaps red and blue", rc == 0 and "label:blue" in out and
              "label:red" not in out, out)
        expect("norm warns", classify % ("red", cls, "norm=true", ""), work, env,
               'Property "norm" has no effect.', False)

        with open(os.path.join(work, "logits.py"), "w") as f:
            f.write(LOGITS_MODEL)
        subprocess.run(["/usr/bin/python3", "logits.py", "logits.onnx"], cwd=work, check=True)
        subprocess.run([tool, "--onnx", "logits.onnx", "--save", "logits.engine"], cwd=work,
                       check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(work, "rgb.labels"), "w") as f:
            f.write("blue\ngreen\nred\n")
        logits = classify.replace(models + "/colour_classifier.labels", "rgb.labels")
        expect("a classifier ending in logits warns", logits % ("green", "logits.engine", "", ""),
               work, env, "The classifier's outputs are not probabilities.", False)
        rc, out = run(logits % ("green", "logits.engine", "", "softmax=true"), work, env)
        check("softmax=true gives the class and a probability", rc == 0 and
              re.search(r"label:green prop:0\.[5-9]", out) and "WARNING" not in out, out)

        batch2 = ("ovvideobatch name=b ! ovrt model=%s %s ! ovtranslator topology=classifier "
                  "label=%s/colour_classifier.labels ! fakesink videotestsrc num-buffers=3 ! "
                  "video/x-raw,format=BGR,width=64,height=64 ! ovmetawriter ! b.sink_0 "
                  "videotestsrc num-buffers=3 ! video/x-raw,format=BGR,width=64,height=64 ! "
                  "ovmetawriter ! b.sink_1" % (cls, SCALE, models))
        expect("two streams with batch left at 1", batch2, work, env,
               "Only 1 of the 2 frames of a batch are inferred.", False)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        sys.exit("failed: " + ", ".join(failures))


if __name__ == "__main__":
    main()
