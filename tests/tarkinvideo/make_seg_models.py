"""Builds the segmentation tests' inputs: replay files with planted tensors, the
expected kept objects and their binary masks from an independent numpy reference,
and a small ONNX segmentation model with known outputs.  Usage: make_seg_models.py OUTDIR"""
import json
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tarkin"))
import yolo_reference as ref  # noqa: E402

F = np.float32
OUT = sys.argv[1]
os.makedirs(OUT, exist_ok=True)
N = 8400
PROTO = 160


# ------------------------------------------------------------------ reference
def resize_linear(src, dw, dh):
    """Bilinear resize of a float32 image with half-pixel centres and edge clamping."""
    sh, sw = src.shape

    def taps(dn, sn):
        scale = 1.0 / (float(dn) / float(sn))
        idx0, idx1, frac = [], [], []
        for d in range(dn):
            f = F((d + 0.5) * scale - 0.5)
            s = int(np.floor(f))
            f = F(f - F(s))
            if s < 0:
                s, f = 0, F(0)
            if s >= sn - 1:
                s, f = sn - 1, F(0)
            idx0.append(s)
            idx1.append(min(s + 1, sn - 1))
            frac.append(f)
        return np.array(idx0), np.array(idx1), np.array(frac, dtype=F)

    if (dw, dh) == (sw, sh):
        return src.copy()
    x0, x1, fx = taps(dw, sw)
    y0, y1, fy = taps(dh, sh)
    rows = src[:, x0] * (F(1) - fx)[None, :] + src[:, x1] * fx[None, :]
    return (rows[y0, :] * (F(1) - fy)[:, None] + rows[y1, :] * fy[:, None]).astype(F)


def project(box, scale, proto_side=PROTO):
    f = 1.0 / scale if scale > 0 else 1.0
    x, y, w, h = box
    x1, y1 = int(np.floor(x * f * 0.25)), int(np.floor(y * f * 0.25))
    x2, y2 = int(np.ceil((x + w) * f * 0.25)), int(np.ceil((y + h) * f * 0.25))
    ax, ay = max(x1, 0), max(y1, 0)
    bx, by = min(x2, proto_side), min(y2, proto_side)
    return (ax, ay, bx - ax, by - ay) if bx > ax and by > ay else None


def clip(rect, w, h):
    x, y, rw, rh = rect
    ax, ay = max(x, 0), max(y, 0)
    bx, by = min(x + rw, w), min(y + rh, h)
    return (ax, ay, bx - ax, by - ay) if bx > ax and by > ay else None


def seg_reference(coeff, box, cls, proto, width, height, bt, nt, size=640):
    """Kept objects in suppression order and each one's binary mask over its box."""
    P = proto.shape[0]  # size / 4
    scale = float(ref.letterbox_scale(width, height, size))
    cands = []
    best = cls.max(axis=0)
    for a in np.nonzero(best >= F(bt))[0]:
        cx, cy, w, h = box[:, a]
        rect = [int(np.trunc((cx - F(0.5) * w) * F(scale))), int(np.trunc((cy - F(0.5) * h) * F(scale))),
                int(np.trunc(F(scale) * w)), int(np.trunc(F(scale) * h))]
        r = clip(rect, width, height)
        if r is None:
            continue
        cands.append((list(r), best[a], int(np.argmax(cls[:, a])), int(a)))
    kept = ref.v8_suppress([(c[0], c[1], c[2]) for c in cands], bt, nt)
    protos = proto.reshape(P * P, 32).T  # 32 x P*P
    objects, margin = [], np.inf
    for k in kept:
        r, score, c, a = cands[k]
        mask = (coeff[:, a].astype(np.float64) @ protos.astype(np.float64)).astype(F).reshape(P, P)
        pr = project(r, scale, P)
        obj = {"column": a, "box": r, "class": c, "score": float(score)}
        if pr is not None:
            px, py, pw, ph = pr
            up = resize_linear(mask[py:py + ph, px:px + pw], r[2], r[3])
            margin = min(margin, float(np.abs(up - F(0.5)).min()))
            obj["mask"] = (up > F(0.5)).astype(np.uint8)
        objects.append(obj)
    return objects, margin


# ----------------------------------------------------------------------- replay
cases = []


def write_replay(name, tensors, report="elements", extra=None):
    d = os.path.join(OUT, name)
    os.makedirs(d, exist_ok=True)
    outs = []
    for k, t in enumerate(tensors):
        fn = "out%d.bin" % k
        np.ascontiguousarray(t, dtype=F).tofile(os.path.join(d, fn))
        outs.append({"file": fn, "shape": list(t.shape), "report": report})
    doc = {"outputs": outs}
    doc.update(extra or {})
    with open(os.path.join(d, "model.replay.json"), "w") as f:
        json.dump(doc, f, indent=1)
    return os.path.join(name, "model.replay.json")


def empty(size=640):
    n = sum((size // s) ** 2 for s in (8, 16, 32))
    p = size // 4
    return (np.zeros((32, n), F), np.zeros((4, n), F), np.full((80, n), 0.05, F), np.zeros((p, p, 32), F))


def blob(proto, ch, cx, cy, rx, ry):
    P = proto.shape[0]
    yy, xx = np.mgrid[0:P, 0:P].astype(np.float64)
    proto[:, :, ch] += (1.2 - ((xx - cx) / rx) ** 2 - ((yy - cy) / ry) ** 2).clip(-1, None).astype(F)


def plant(t, a, cx, cy, w, h, c, score, coeffs):
    coeff, box, cls, _ = t
    box[:, a] = (cx, cy, w, h)
    cls[c, a] = score
    for k, v in coeffs.items():
        coeff[k, a] = v


def seg_case(name, t, width, height, bt=0.5, nt=0.45, order=(0, 1, 2, 3), report="elements", expect=None, size=640):
    coeff, box, cls, proto = t
    tensors = [coeff[None], box[None], cls[None], proto[None]]
    path = write_replay(name, [tensors[i] for i in order], report)
    case = {"name": name, "model": path, "width": width, "height": height, "box_thresh": bt, "nms_thresh": nt,
            "model_size": size}
    if expect:
        case["fail"] = expect
    else:
        objects, margin = seg_reference(coeff, box, cls, proto, width, height, bt, nt, size)
        # Values this close to the binarisation threshold would make the comparison
        # depend on the summation order of the product.
        assert margin > 1e-5, "mask value too close to 0.5 in %s: %g" % (name, margin)
        for i, o in enumerate(objects):
            if "mask" in o:
                fn = "%s/mask%d.bin" % (name, i)
                o["mask"].tofile(os.path.join(OUT, fn))
                o["mask"] = fn
        case["objects"] = objects
    cases.append(case)


# A 320x240 frame (scale 0.5: frame pixel = 640-space / 2, proto = frame / 2).
t = empty()
coeff, box, cls, proto = t
blob(proto, 0, 50, 50, 17, 13)      # object A, frame box (60,70,80,60)
blob(proto, 1, 100, 3, 14, 6)      # object B at the top edge
blob(proto, 2, 80, 58, 12, 10)     # object E overlapping A
blob(proto, 3, 65, 118, 14, 5)     # object G at the bottom edge
proto[:, :, 4] = np.linspace(-0.3, 0.3, PROTO * PROTO, dtype=F).reshape(PROTO, PROTO)  # cross-talk
plant(t, 100, 200, 200, 160, 120, 0, 0.90, {0: 1.0, 4: 0.4})       # A: class 0
plant(t, 101, 205, 203, 160, 120, 3, 0.80, {0: 1.0})               # D: overlaps A, suppressed
plant(t, 2000, 400, 10, 100, 30, 5, 0.85, {1: 1.0, 4: -0.5})      # B: tag moves inside
plant(t, 3000, 330, 240, 120, 100, 2, 0.70, {2: 1.0, 0: 0.3})      # E: overlaps A a little
plant(t, 4000, 700, 200, 40, 40, 62, 0.99, {0: 1.0})               # C: right of the frame, dropped
plant(t, 5000, 260, 542, 120, 60, 7, 0.97, {0: 1.0})               # H: below the frame, dropped
plant(t, 5001, 260, 490, 120, 60, 9, 0.60, {3: 1.0})               # G: would lose to H if H were kept
plant(t, 6000, 500, 300, 40, 40, 11, 0.50, {0: 1.0})               # F: score == threshold
seg_case("seg_planted", t, 320, 240)
# The same tensors listed out of order and reported in bytes: routed by size.
seg_case("seg_routed_bytes", t, 320, 240, order=(3, 1, 0, 2), report="bytes")

# No column reaches the threshold.
seg_case("seg_none", empty(), 320, 240)

# Frames lost midstream: the listed invokes (counted from 1) fail.
coeff, box, cls, proto = t
for name, fails in (("seg_fail_frames", [3, 10, 11]), ("seg_fail_run25", list(range(2, 27)))):
    write_replay(name, [coeff[None], box[None], cls[None], proto[None]], extra={"fail-frames": fails})

# A model exported at 320: 2100 columns and 80 x 80 prototypes. On a 640x480 frame
# (scale 2) a prototype pixel is 8 frame pixels.
t = empty(320)
coeff, box, cls, proto = t
blob(proto, 0, 25, 25, 9, 7)
blob(proto, 1, 62, 45, 7, 6)
plant(t, 50, 100, 100, 80, 60, 0, 0.90, {0: 1.0})
plant(t, 1500, 250, 180, 60, 50, 5, 0.80, {1: 1.0})
plant(t, 1501, 252, 181, 60, 50, 7, 0.70, {1: 1.0})  # overlaps the class-5 one: suppressed
seg_case("seg_320", t, 640, 480, size=320)

# A prototype tensor with a size of no declared shape: no positional fallback.
coeff, box, cls, proto = empty()
write_replay("seg_unknown_size", [coeff[None], box[None], cls[None], np.zeros((1, 160, 160, 16), F)])
cases.append({"name": "seg_unknown_size", "model": "seg_unknown_size/model.replay.json", "width": 320,
              "height": 240, "box_thresh": 0.5, "nms_thresh": 0.45,
              "fail": "nmx-tarkin-video: yolov8-segmentation failed to map output tensors"})
# Only three outputs.
write_replay("seg_three", [coeff[None], box[None], cls[None]])
cases.append({"name": "seg_three", "model": "seg_three/model.replay.json", "width": 320, "height": 240,
              "box_thresh": 0.5, "nms_thresh": 0.45, "fail": "get_output_tensor(3) failed"})
# The runtime failing invoke.
write_replay("seg_fail_invoke", [coeff[None], box[None], cls[None], proto[None]], extra={"fail-invoke": True})
cases.append({"name": "seg_fail_invoke", "model": "seg_fail_invoke/model.replay.json", "width": 320,
              "height": 240, "box_thresh": 0.5, "nms_thresh": 0.45,
              "fail": "nmx-tarkin-video: yolov8-segmentation invoke failed rc="})

# 1080p with many objects (element and benchmark scale).
t = empty()
coeff, box, cls, proto = t
rng = np.random.default_rng(7)
proto[:] = rng.uniform(-1, 1, proto.shape).astype(F)
for k in range(60):
    plant(t, k * 100, 60 + (k % 10) * 60, 60 + (k // 10) * 60, 50, 50, k % 80, 0.6 + k * 0.005,
          {j: float(v) for j, v in enumerate(rng.uniform(-0.3, 0.3, 32))})
write_replay("seg_many", [coeff[None], box[None], cls[None], proto[None]])

# ------------------------------------------------------------------------- ONNX
# Every column holds the same detection (class 0, score 0.9, a box in the middle of
# the picture) and every prototype pixel the value 1 in channel 0, so the mask fills
# the box. Built from pooled 1x1 convolutions with zero weights, the way a real
# export's heads are laid out: [1,116,8400] and NCHW prototypes [1,32,160,160].
ONNX_BOX = (320.0, 240.0, 200.0, 160.0)
nodes, inits, parts = [], [], []
bias = np.zeros(116, F)
bias[0:4] = ONNX_BOX
bias[4:84] = 0.05
bias[4] = 0.9
bias[84] = 1.0


def zero_head(prefix, stride, channels, b, out_name):
    inits.extend([numpy_helper.from_array(np.zeros((channels, 3, 1, 1), F), prefix + "_w"),
                  numpy_helper.from_array(b.astype(F), prefix + "_b")])
    nodes.extend([helper.make_node("AveragePool", ["images"], [prefix + "_pool"], kernel_shape=[stride, stride],
                                   strides=[stride, stride]),
                  helper.make_node("Conv", [prefix + "_pool", prefix + "_w", prefix + "_b"], [out_name],
                                   kernel_shape=[1, 1])])


for s in (8, 16, 32):
    g = 640 // s
    zero_head("q%d" % s, s, 116, bias, "q%d_conv" % s)
    inits.append(numpy_helper.from_array(np.array([1, 116, g * g], dtype=np.int64), "q%d_shape" % s))
    nodes.append(helper.make_node("Reshape", ["q%d_conv" % s, "q%d_shape" % s], ["q%d_flat" % s]))
nodes.append(helper.make_node("Concat", ["q8_flat", "q16_flat", "q32_flat"], ["output0"], axis=2))
pbias = np.zeros(32, F)
pbias[0] = 1.0
zero_head("proto", 4, 32, pbias, "output1")
graph = helper.make_graph(
    nodes, "seg_planted", [helper.make_tensor_value_info("images", TensorProto.FLOAT, [1, 3, 640, 640])],
    [helper.make_tensor_value_info("output0", TensorProto.FLOAT, [1, 116, 8400]),
     helper.make_tensor_value_info("output1", TensorProto.FLOAT, [1, 32, 160, 160])], inits)
model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 11)])
model.ir_version = 6
onnx.checker.check_model(model)
onnx.save(model, os.path.join(OUT, "seg_planted.onnx"))

# The same outputs as a replay file, for the launch line with a replay model.
t = empty()
coeff, box, cls, proto = t
box[:] = np.array(ONNX_BOX, F)[:, None]
cls[0, :] = 0.9
coeff[0, :] = 1.0
proto[:, :, 0] = 1.0
write_replay("seg_pipeline", [coeff[None], box[None], cls[None], proto[None]])

with open(os.path.join(OUT, "cases.json"), "w") as f:
    json.dump({"cases": cases, "onnx_box": ONNX_BOX}, f, indent=1)
print("made %d segmentation cases in %s" % (len(cases), OUT))
