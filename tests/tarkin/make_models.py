"""Builds the detection tests' models: small ONNX graphs with the declared output
shapes, replay files with planted tensors, and the expected detections computed by
the numpy reference.  Usage: make_models.py OUTDIR"""
import json
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import yolo_reference as ref  # noqa: E402

F = np.float32
OUT = sys.argv[1]
os.makedirs(OUT, exist_ok=True)
rng = np.random.default_rng(1234)


# --------------------------------------------------------------------------- ONNX
def save_model(name, nodes, inits, outputs, size=640):
    graph = helper.make_graph(
        nodes, name, [helper.make_tensor_value_info("images", TensorProto.FLOAT, [1, 3, size, size])],
        [helper.make_tensor_value_info(n, TensorProto.FLOAT, s) for n, s in outputs], inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 11)])
    model.ir_version = 6
    onnx.checker.check_model(model)
    onnx.save(model, os.path.join(OUT, name))


def head(prefix, stride, channels, nodes, inits, out_name):
    """AveragePool(stride) then a 1x1 convolution: cheap, input dependent, known in numpy."""
    w = rng.uniform(-1, 1, (channels, 3, 1, 1)).astype(F)
    b = rng.uniform(-1, 1, (channels,)).astype(F)
    inits += [numpy_helper.from_array(w, prefix + "_w"), numpy_helper.from_array(b, prefix + "_b")]
    nodes += [helper.make_node("AveragePool", ["images"], [prefix + "_pool"], kernel_shape=[stride, stride],
                               strides=[stride, stride]),
              helper.make_node("Conv", [prefix + "_pool", prefix + "_w", prefix + "_b"], [out_name],
                               kernel_shape=[1, 1])]
    return w, b


def np_head(x_nchw, stride, w, b):
    c, hh, ww = 3, 640 // stride, 640 // stride
    pooled = x_nchw.reshape(1, c, hh, stride, ww, stride).mean(axis=(3, 5))
    return (np.einsum("oc,nchw->nohw", w[:, :, 0, 0], pooled) + b[None, :, None, None]).astype(F)


def const(name, arr, inits):
    inits.append(numpy_helper.from_array(np.asarray(arr, dtype=np.int64), name))


x_hwc = rng.uniform(0, 1, (640, 640, 3)).astype(F)
x_hwc.tofile(os.path.join(OUT, "onnx_input.bin"))
x_nchw = x_hwc.transpose(2, 0, 1)[None]
expect = {}

# YOLOv5: NCHW heads [1,255,H,W]; names sort differently from the declared order.
nodes, inits = [], []
w8, b8 = head("h8", 8, 255, nodes, inits, "c_stride8")
w16, b16 = head("h16", 16, 255, nodes, inits, "a_stride16")
w32, b32 = head("h32", 32, 255, nodes, inits, "b_stride32")
save_model("yolov5.onnx", nodes, inits, [("c_stride8", [1, 255, 80, 80]), ("a_stride16", [1, 255, 40, 40]),
                                         ("b_stride32", [1, 255, 20, 20])])
v5 = {8: np_head(x_nchw, 8, w8, b8), 16: np_head(x_nchw, 16, w16, b16), 32: np_head(x_nchw, 32, w32, b32)}
# Declared order is 40x40, 20x20, 80x80, each NHWC.
for k, s in enumerate((16, 32, 8)):
    v5[s][0].transpose(1, 2, 0).astype(F).tofile(os.path.join(OUT, "yolov5_expect%d.bin" % k))

# YOLOv5 with the stock 5-D heads [1,3,H,W,85].
nodes, inits = [], []
outs5 = []
exp5 = {}
for s in (8, 16, 32):
    g = 640 // s
    w, b = head("f%d" % s, s, 255, nodes, inits, "f%d_conv" % s)
    const("f%d_shape" % s, [1, 3, 85, g, g], inits)
    nodes += [helper.make_node("Reshape", ["f%d_conv" % s, "f%d_shape" % s], ["f%d_r" % s]),
              helper.make_node("Transpose", ["f%d_r" % s], ["out%d" % s], perm=[0, 1, 3, 4, 2])]
    outs5.append(("out%d" % s, [1, 3, g, g, 85]))
    exp5[s] = np_head(x_nchw, s, w, b)[0].transpose(1, 2, 0)  # [H, W, 255]
save_model("yolov5_5d.onnx", nodes, inits, outs5)
for k, s in enumerate((16, 32, 8)):
    exp5[s].astype(F).tofile(os.path.join(OUT, "yolov5_5d_expect%d.bin" % k))

# YOLOv8: three pooled heads concatenated into [1,84,8400].
def v8_graph(split):
    nodes, inits, parts = [], [], []
    for s in (8, 16, 32):
        g = 640 // s
        w, b = head("g%d" % s, s, 84, nodes, inits, "g%d_conv" % s)
        const("g%d_shape" % s, [1, 84, g * g], inits)
        nodes.append(helper.make_node("Reshape", ["g%d_conv" % s, "g%d_shape" % s], ["g%d_flat" % s]))
        parts.append(np_head(x_nchw, s, w, b).reshape(1, 84, g * g))
    nodes.append(helper.make_node("Concat", ["g8_flat", "g16_flat", "g32_flat"], ["cat"], axis=2))
    nodes.append(helper.make_node("Sigmoid", ["cat"], ["output0" if not split else "sig"]))
    full = 1.0 / (1.0 + np.exp(-np.concatenate(parts, axis=2)))
    if not split:
        return nodes, inits, [("output0", [1, 84, 8400])], full
    const("s_starts_box", [0], inits)
    const("s_ends_box", [4], inits)
    const("s_starts_cls", [4], inits)
    const("s_ends_cls", [84], inits)
    const("s_axes", [1], inits)
    nodes += [helper.make_node("Slice", ["sig", "s_starts_box", "s_ends_box", "s_axes"], ["z_boxes"]),
              helper.make_node("Slice", ["sig", "s_starts_cls", "s_ends_cls", "s_axes"], ["a_classes"])]
    return nodes, inits, [("z_boxes", [1, 4, 8400]), ("a_classes", [1, 80, 8400])], full


for name, split in (("yolov8_concat.onnx", False), ("yolov8_split.onnx", True)):
    nodes, inits, outs, full = v8_graph(split)
    save_model(name, nodes, inits, outs)
    stem = name[:-5]
    full[0, :4].astype(F).tofile(os.path.join(OUT, stem + "_expect0.bin"))
    full[0, 4:].astype(F).tofile(os.path.join(OUT, stem + "_expect1.bin"))

# YOLOv8 segmentation layout: [1,116,8400] (boxes, classes, 32 mask coefficients)
# and NCHW prototypes [1,32,160,160], declared as the segmentation engine does.
nodes, inits, parts = [], [], []
for s in (8, 16, 32):
    g = 640 // s
    w, b = head("q%d" % s, s, 116, nodes, inits, "q%d_conv" % s)
    const("q%d_shape" % s, [1, 116, g * g], inits)
    nodes.append(helper.make_node("Reshape", ["q%d_conv" % s, "q%d_shape" % s], ["q%d_flat" % s]))
    parts.append(np_head(x_nchw, s, w, b).reshape(1, 116, g * g))
nodes.append(helper.make_node("Concat", ["q8_flat", "q16_flat", "q32_flat"], ["output0"], axis=2))
wp, bp = head("proto", 4, 32, nodes, inits, "output1")
save_model("yolov8_seg.onnx", nodes, inits, [("output0", [1, 116, 8400]), ("output1", [1, 32, 160, 160])])
seg = np.concatenate(parts, axis=2)[0]
proto = np_head(x_nchw, 4, wp, bp)[0].transpose(1, 2, 0)
for k, t in enumerate((seg[84:], seg[:4], seg[4:84], proto)):
    t.astype(F).tofile(os.path.join(OUT, "yolov8_seg_expect%d.bin" % k))

# A network whose only output fits no declared shape, and a file OpenCV cannot read.
nodes, inits = [], []
nodes.append(helper.make_node("GlobalAveragePool", ["images"], ["tiny"]))
save_model("unmappable.onnx", nodes, inits, [("tiny", [1, 3, 1, 1])])
with open(os.path.join(OUT, "garbage.onnx"), "wb") as f:
    f.write(b"this is not a protobuf model" * 10)


# Colour detectors for the comparisons with an independent reference (OpenCV DNN
# plus NMSBoxes, or the per-class suppression, written in the test): each cell of
# each head sees the mean colour of its area; a cell mostly covered by a saturated
# channel-0, -1 or -2 square is an object of class 2, 0 or 16. Boxes are fixed per
# head and centred on their cell, so both sides compute the very same rectangles; a
# small ramp over the cells keeps scores apart by far more than float noise, so no
# two candidates tie. One model per input size, as a user exports them.
COLOUR_CLASSES = (2, 0, 16)  # by input channel
V8_BOX = {8: 40.0, 16: 64.0, 32: 128.0}


def cell_ramp(g, offset):
    return (offset + 0.5 * np.arange(g * g, dtype=np.float64) / (g * g)).reshape(g, g).astype(F)


def colour_v8(size):
    nodes, inits, parts = [], [], []
    for k, s in enumerate((8, 16, 32)):
        g = size // s
        p = "v%d" % s
        nodes.append(helper.make_node("AveragePool", ["images"], [p + "_pool"], kernel_shape=[s, s], strides=[s, s]))
        wb = np.zeros((4, 3, 1, 1), F)
        bb = np.array([0, 0, V8_BOX[s], V8_BOX[s]], F)
        grid = np.zeros((1, 4, g, g), F)
        grid[0, 0] = (np.arange(g, dtype=F) + F(0.5)) * F(s)  # cx along columns
        grid[0, 1] = ((np.arange(g, dtype=F) + F(0.5)) * F(s))[:, None]  # cy along rows
        wc = np.zeros((80, 3, 1, 1), F)
        bc = np.full((80,), -9.0, F)
        for ch, c in enumerate(COLOUR_CLASSES):
            wc[c, :, 0, 0] = -4.0
            wc[c, ch, 0, 0] = 4.0
            bc[c] = -1.8  # a full cell: logit 2.2 + ramp; half a cell: about 0.2
        ramp = np.broadcast_to(cell_ramp(g, 0.013 * k), (1, 80, g, g)).astype(F)
        inits += [numpy_helper.from_array(wb, p + "_wb"), numpy_helper.from_array(bb, p + "_bb"),
                  numpy_helper.from_array(grid, p + "_grid"), numpy_helper.from_array(wc, p + "_wc"),
                  numpy_helper.from_array(bc, p + "_bc"), numpy_helper.from_array(np.ascontiguousarray(ramp), p + "_ramp")]
        const(p + "_shape", [1, 84, g * g], inits)
        nodes += [helper.make_node("Conv", [p + "_pool", p + "_wb", p + "_bb"], [p + "_b0"], kernel_shape=[1, 1]),
                  helper.make_node("Add", [p + "_b0", p + "_grid"], [p + "_box"]),
                  helper.make_node("Conv", [p + "_pool", p + "_wc", p + "_bc"], [p + "_c0"], kernel_shape=[1, 1]),
                  helper.make_node("Add", [p + "_c0", p + "_ramp"], [p + "_c1"]),
                  helper.make_node("Sigmoid", [p + "_c1"], [p + "_cls"]),
                  helper.make_node("Concat", [p + "_box", p + "_cls"], [p + "_cat"], axis=1),
                  helper.make_node("Reshape", [p + "_cat", p + "_shape"], [p + "_flat"])]
        parts.append(p + "_flat")
    nodes.append(helper.make_node("Concat", parts, ["output0"], axis=2))
    n = sum((size // s) ** 2 for s in (8, 16, 32))
    save_model("colour_v8_%d.onnx" % size, nodes, inits, [("output0", [1, 84, n])], size)


def colour_v5(size):
    nodes, inits, outs = [], [], []
    for k, s in enumerate((8, 16, 32)):
        g = size // s
        p = "f%d" % s
        nodes.append(helper.make_node("AveragePool", ["images"], [p + "_pool"], kernel_shape=[s, s], strides=[s, s]))
        w = np.zeros((255, 3, 1, 1), F)
        b = np.zeros((255,), F)
        ramp = np.zeros((1, 255, g, g), F)
        for a in range(3):
            base = a * 85
            b[base + 4] = -10.0  # the other anchors never fire
            b[base + 5:base + 85] = -5.0
        # One anchor per head, chosen so that its boxes overlap their neighbours (and
        # those of the other heads) at no IoU near 0.45, where rounding could decide.
        base = {8: 2, 16: 0, 32: 0}[s] * 85
        w[base + 4, :, 0, 0] = 8.0  # objectness: 8 * (sum of the cell's colour) - 4
        b[base + 4] = -4.0
        for ch, c in enumerate(COLOUR_CLASSES):
            w[base + 5 + c, :, 0, 0] = -3.0
            w[base + 5 + c, ch, 0, 0] = 3.0
            b[base + 5 + c] = 0.0
            ramp[0, base + 5 + c] = cell_ramp(g, 0.011 * k)
        inits += [numpy_helper.from_array(w, p + "_w"), numpy_helper.from_array(b, p + "_b"),
                  numpy_helper.from_array(ramp, p + "_ramp")]
        nodes += [helper.make_node("Conv", [p + "_pool", p + "_w", p + "_b"], [p + "_c"], kernel_shape=[1, 1]),
                  helper.make_node("Add", [p + "_c", p + "_ramp"], ["head%d" % s])]
        outs.append(("head%d" % s, [1, 255, g, g]))
    save_model("colour_v5_%d.onnx" % size, nodes, inits, outs, size)


for size in (640, 320):
    colour_v8(size)
    colour_v5(size)


# The README's demo model: a YOLOv8 detection export at 640 that reports one person
# (0.9) in the middle of every picture, whatever it shows, so the documented
# commands give a known result. Its cost is a few pooled convolutions.
def planted_v8():
    nodes, inits, parts = [], [], []
    for s in (8, 16, 32):
        g = 640 // s
        p = "p%d" % s
        nodes.append(helper.make_node("AveragePool", ["images"], [p + "_pool"], kernel_shape=[s, s], strides=[s, s]))
        inits += [numpy_helper.from_array(np.zeros((84, 3, 1, 1), F), p + "_w"),
                  numpy_helper.from_array(np.zeros((84,), F), p + "_b")]
        const(p + "_shape", [1, 84, g * g], inits)
        nodes += [helper.make_node("Conv", [p + "_pool", p + "_w", p + "_b"], [p + "_c"], kernel_shape=[1, 1]),
                  helper.make_node("Reshape", [p + "_c", p + "_shape"], [p + "_flat"])]
        parts.append(p + "_flat")
    planted = np.zeros((1, 84, 8400), F)
    planted[0, :4, 100] = (320, 240, 200, 160)
    planted[0, 4 + 0, 100] = 0.9
    inits.append(numpy_helper.from_array(planted, "planted"))
    nodes += [helper.make_node("Concat", parts, ["zeros"], axis=2),
              helper.make_node("Add", ["zeros", "planted"], ["output0"])]
    save_model("planted_v8.onnx", nodes, inits, [("output0", [1, 84, 8400])])


planted_v8()


# ------------------------------------------------------------------------ replay
cases = []


def write_replay(name, tensors, report="elements", extra=None):
    d = os.path.join(OUT, name)
    os.makedirs(d, exist_ok=True)
    outs = []
    for k, t in enumerate(tensors):
        fn = "out%d.bin" % k
        np.ascontiguousarray(t, dtype=F).tofile(os.path.join(d, fn))
        rep = report[k] if isinstance(report, list) else report
        outs.append({"file": fn, "shape": list(t.shape), "report": rep})
    doc = {"outputs": outs}
    doc.update(extra or {})
    with open(os.path.join(d, "model.replay.json"), "w") as f:
        json.dump(doc, f, indent=1)
    return os.path.join(name, "model.replay.json")


def v5_empty(size=640):
    heads = {}
    for s in (8, 16, 32):
        g = size // s
        h = np.zeros((g, g, 3, 85), dtype=F)
        h[..., 4] = -12.0  # objectness ~ 0
        heads[s] = h
    return heads


def plant5(heads, s, i, j, a, cls, cls_val, obj=6.0, txy=(0.0, 0.0), twh=(0.0, 0.0), others=None):
    v = heads[s][i, j, a]
    v[0], v[1] = txy
    v[2], v[3] = twh
    v[4] = obj
    v[5 + cls] = cls_val
    for c, val in (others or {}).items():
        v[5 + c] = val


def v5_case(name, heads, width, height, box=0.5, nms=0.45, order=(16, 32, 8), report="elements",
            expect_fail=None, size=640):
    flat = {s: heads[s].reshape(size // s, size // s, 255) for s in heads}
    tensors = [flat[s][None] for s in order]
    path = write_replay(name, tensors, report)
    case = {"name": name, "model_type": "yolov5", "model": path, "width": width, "height": height,
            "box_thresh": box, "nms_thresh": nms, "model_size": size}
    if expect_fail:
        case["fail"] = expect_fail
    else:
        cands = ref.v5_decode(flat, box)
        kept = ref.v5_suppress(cands, nms)
        scale = float(ref.letterbox_scale(width, height, size))
        boxes = [(c[0][0] * scale, c[0][1] * scale, c[0][2] * scale, c[0][3] * scale, c[1], c[2])
                 for c in (cands[k] for k in kept)]
        case["boxes"] = ref.text_boxes(boxes, width, height)
        case["candidates"] = len(cands)
    cases.append(case)


# Two overlapping boxes of one class (the weaker goes), one apart.
h = v5_empty()
plant5(h, 8, 20, 20, 2, 0, 3.0)
plant5(h, 8, 20, 21, 2, 0, 2.0)
plant5(h, 8, 60, 60, 0, 0, 2.5)
v5_case("v5_one_class", h, 640, 640)

# Overlapping boxes of two classes are both kept.
h = v5_empty()
plant5(h, 8, 20, 20, 2, 2, 3.0)
plant5(h, 8, 20, 21, 2, 7, 2.0)
v5_case("v5_two_classes", h, 1280, 720)

# Equal scores: the sort's tie order decides which overlapping boxes survive.
h = v5_empty()
for j in (30, 31, 32, 33, 34):
    plant5(h, 8, 40, j, 2, 5, 2.0)
plant5(h, 16, 5, 5, 1, 5, 2.0)
plant5(h, 16, 6, 5, 1, 5, 2.0)
plant5(h, 32, 10, 10, 0, 9, 2.0)
v5_case("v5_ties", h, 640, 640)

# Boxes across every edge of a 1920x1080 frame (picture = top 360 rows of the input).
h = v5_empty()
plant5(h, 8, 30, 0, 2, 1, 2.0, txy=(-3.0, 0.0))
plant5(h, 8, 0, 30, 2, 3, 2.0, txy=(0.0, -3.0))
plant5(h, 8, 30, 79, 2, 4, 2.0, txy=(3.0, 0.0))
plant5(h, 8, 44, 40, 2, 6, 2.0, twh=(1.0, 1.0))
plant5(h, 32, 5, 5, 2, 9, 2.0, twh=(3.0, 3.0))  # larger than the frame: clipped to it
v5_case("v5_edges", h, 1920, 1080)

# Threshold edges: objectness exactly 0.5 passes (>=); a class value equal to the
# threshold does not (>); all class values <= 0 give nothing whatever the objectness.
h = v5_empty()
plant5(h, 8, 10, 10, 0, 3, 0.5000001, obj=0.0)
plant5(h, 8, 30, 30, 0, 4, 0.5, obj=8.0)
plant5(h, 8, 50, 50, 0, 5, 0.0, obj=8.0, others={6: -1.0})
plant5(h, 8, 70, 70, 0, 7, 0.9, obj=-0.001)
v5_case("v5_thresholds", h, 640, 640)

# More than 512 survivors: ids 256..767, the rest not serialized.
h = v5_empty()
k = 0
for i in range(0, 80, 2):
    for j in range(0, 80, 2):
        if k < 600:
            plant5(h, 8, i, j, 0, k % 80, 1.0 + k * 0.003)
            k += 1
v5_case("v5_many", h, 640, 640)

# Sizes in bytes (6,528,000 / 1,632,000 / 408,000): the fallback assigns 0, 1, 2.
h = v5_empty()
plant5(h, 8, 20, 20, 2, 0, 3.0)
plant5(h, 16, 10, 10, 1, 1, 3.0)
plant5(h, 32, 5, 5, 0, 2, 3.0)
v5_case("v5_bytes", h, 640, 480, order=(8, 16, 32), report="bytes")
# The same heads listed out of order with element counts: routed by size.
v5_case("v5_routed", h, 640, 480, order=(32, 8, 16))

# A head smaller than declared must not be decoded.
h = v5_empty()
short = [h[16].reshape(1, 40, 40, 255), h[32].reshape(1, 20, 20, 255),
         np.zeros((1, 80, 80, 200), dtype=F)]
path = write_replay("v5_short", short)
cases.append({"name": "v5_short", "model_type": "yolov5", "model": path, "width": 640, "height": 640,
              "box_thresh": 0.5, "nms_thresh": 0.45, "fail": "smaller than its declared shape"})


def v8_empty(size=640):
    n = sum((size // s) ** 2 for s in (8, 16, 32))
    return np.zeros((4, n), dtype=F), np.zeros((80, n), dtype=F)


def plant8(box, cls, a, cx, cy, w, h, values):
    box[:, a] = (cx, cy, w, h)
    for c, v in values.items():
        cls[c, a] = v


def v8_case(name, box, cls, width, height, bt=0.5, nt=0.45, swap=False, report="elements", model_type="yolov8-detection",
            size=640, extra=None, listed=True):
    tensors = [box[None], cls[None]]
    if swap:
        tensors.reverse()
    path = write_replay(name, tensors, report, extra)
    scale = ref.letterbox_scale(width, height, size)
    cands = ref.v8_decode(box, cls, scale, bt)
    kept = ref.v8_suppress(cands, bt, nt)
    boxes = [(c[0][0], c[0][1], c[0][2], c[0][3], c[1], c[2]) for c in (cands[k] for k in kept)]
    case = {"name": name, "model_type": model_type, "model": path, "width": width, "height": height,
            "box_thresh": bt, "nms_thresh": nt, "boxes": ref.text_boxes(boxes, width, height),
            "candidates": len(cands), "model_size": size}
    if listed:
        cases.append(case)
    return case


# Overlapping boxes of two classes: class-agnostic, the weaker goes; one column with
# two classes above the threshold yields two candidates of which one survives.
b, c = v8_empty()
plant8(b, c, 100, 200, 200, 100, 80, {3: 0.95})
plant8(b, c, 101, 205, 202, 100, 80, {7: 0.9})
plant8(b, c, 5000, 400, 300, 60, 60, {1: 0.92, 2: 0.85})
v8_case("v8_overlap", b, c, 1280, 720)

# Threshold edges at box 0.5: best == 0.5 passes the column test, yields nothing
# (the class test is strict); a class at 0.6 is a 0.6 detection, and 0.5000001 one
# just above the threshold (a score that squared the class value lost both).
b, c = v8_empty()
plant8(b, c, 10, 50, 50, 20, 20, {0: 0.5})
plant8(b, c, 20, 150, 150, 20, 20, {1: 0.6})
plant8(b, c, 30, 250, 250, 20, 20, {2: 0.71})
plant8(b, c, 40, 350, 350, 20, 20, {3: 0.707})
plant8(b, c, 50, 450, 450, 20, 20, {4: 0.5000001})
v8_case("v8_thresholds", b, c, 640, 640)

# Boxes across every edge of a 1280x720 frame (scale 2, picture = top 360 rows).
b, c = v8_empty()
plant8(b, c, 1, 5, 100, 40, 40, {10: 0.9})
plant8(b, c, 2, 300, 6, 40, 40, {11: 0.9})
plant8(b, c, 3, 635, 100, 40, 40, {12: 0.9})
plant8(b, c, 4, 300, 355, 40, 40, {13: 0.9})
plant8(b, c, 5, 320, 320, 900, 900, {62: 0.95})
v8_case("v8_edges", b, c, 1280, 720, nt=0.9)

# More than 512 survivors.
b, c = v8_empty()
k = 0
for i in range(25):
    for j in range(25):
        if k < 600:
            plant8(b, c, k * 13, 12 + j * 25, 12 + i * 25, 10, 10, {k % 80: 0.75 + k * 0.0004})
            k += 1
v8_case("v8_many", b, c, 640, 640)

# Outputs listed class first and reported in bytes: routed by size; "yolov8" alias.
b, c = v8_empty()
plant8(b, c, 100, 200, 200, 100, 80, {3: 0.95})
v8_case("v8_swapped_bytes", b, c, 640, 360, swap=True, report="bytes", model_type="yolov8")

# A class tensor shorter than declared must not be decoded.
b, _ = v8_empty()
path = write_replay("v8_short", [b[None], np.zeros((1, 80, 100), dtype=F)])
cases.append({"name": "v8_short", "model_type": "yolov8-detection", "model": path, "width": 640,
              "height": 640, "box_thresh": 0.5, "nms_thresh": 0.45, "fail": "smaller than its declared shape"})

# The runtime failing invoke.
b, c = v8_empty()
path = write_replay("v8_fail_invoke", [b[None], c[None]], extra={"fail-invoke": True})
cases.append({"name": "v8_fail_invoke", "model_type": "yolov8-detection", "model": path, "width": 64,
              "height": 64, "box_thresh": 0.5, "nms_thresh": 0.45,
              "fail": "nmx-tarkin: yolov8-detection invoke failed rc="})

# --- Models exported at 320: 2100 columns, heads of 40, 20 and 10 cells ----------
b, c = v8_empty(320)
plant8(b, c, 17, 100, 90, 60, 50, {0: 0.93})
plant8(b, c, 18, 104, 92, 60, 50, {5: 0.88})          # overlaps, class-agnostic: goes
plant8(b, c, 2000, 250, 200, 40, 40, {9: 0.71, 10: 0.66})  # two classes in one column
plant8(b, c, 900, 300, 20, 60, 60, {11: 0.8})          # across the right and top edges
v8_case("v8_320", b, c, 1280, 720, size=320)
# Reported in bytes these sizes (33,600 and 672,000) are a 640 model's element
# counts: only the given model size tells them apart.
v8_case("v8_320_bytes", b, c, 1280, 720, size=320, report="bytes", swap=True)

h = v5_empty(320)
plant5(h, 8, 10, 10, 2, 0, 3.0)
plant5(h, 8, 10, 11, 2, 0, 2.0)   # same class, overlapping: goes
plant5(h, 16, 5, 15, 1, 7, 2.5)
plant5(h, 32, 8, 2, 0, 3, 1.5, txy=(1.0, -1.0))
v5_case("v5_320", h, 320, 240, size=320)
v5_case("v5_320_bytes_routed", h, 640, 480, size=320, order=(32, 8, 16), report=["elements", "bytes", "elements"])

# --- For the board's detection element stand-in: one person at 0.8 ----------------
b, c = v8_empty()
plant8(b, c, 100, 320, 180, 160, 60, {0: 0.8})
write_replay("soft_person_08", [b[None], c[None]])

# --- Frames lost midstream: invokes that fail (counted from 1) ---------------------
b, c = v8_empty()
plant8(b, c, 100, 200, 200, 100, 80, {3: 0.95})
for name, fails in (("v8_fail_frames", [3, 10, 11]), ("v8_fail_run25", list(range(2, 27))),
                    ("v8_fail_run24", list(range(2, 26)))):
    write_replay(name, [b[None], c[None]], extra={"fail-frames": fails})

# --- A YOLOv5 model exported with its sigmoids: every value in 0..1 ---------------
h = v5_empty()
for s in (8, 16, 32):
    h[s][..., :4] = 0.5
    h[s][..., 4] = 0.55
    h[s][..., 5:] = 0.3
h[8][::8, ::8, 0, 5] = 0.6  # 100 cells a model like this turns into ~40 % boxes
write_replay("v5_sigmoided", [h[s].reshape(1, 640 // s, 640 // s, 255) for s in (16, 32, 8)])

with open(os.path.join(OUT, "cases.json"), "w") as f:
    json.dump(cases, f, indent=1)
print("made %d replay cases in %s" % (len(cases), OUT))
