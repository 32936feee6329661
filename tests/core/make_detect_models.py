"""Builds the models of the detecting-stream tests.  Usage: make_detect_models.py OUTDIR

moving_v8_320.onnx: a YOLOv8 detection export at 320 whose outputs follow the picture.
Saturated red squares are "person" (class 0, stride-8 cells scoring the redness of
the 40x40 window around them), saturated green ones "car" (class 2, stride-16 cells,
48x48 windows). Boxes are 40x40, centred on the centroid of their colour over a
larger window: a 40x40 square is found at its place on whatever frame it is. The
stride-32 columns never fire.

slow/model.replay.json: one "person" box at (270..370, 190..290) of a 640x640 input,
from a replay whose every invoke takes 200 ms: a model slower than any source here.

failing/model.replay.json: the same box, but invokes 2 to 4 fail.

mismatched.onnx: a network whose output fits no detection layout."""
import json
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

F = np.float32
OUT = sys.argv[1]
os.makedirs(OUT, exist_ok=True)
SIZE = 320
BOX = 40.0


def save(name, nodes, inits, outputs, size=SIZE):
    graph = helper.make_graph(
        nodes, name, [helper.make_tensor_value_info("images", TensorProto.FLOAT, [1, 3, size, size])],
        [helper.make_tensor_value_info(n, TensorProto.FLOAT, s) for n, s in outputs], inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 11)])
    model.ir_version = 6
    onnx.checker.check_model(model)
    onnx.save(model, os.path.join(OUT, name))


def moving_v8():
    # Per class: a colour weight per pixel (how red, how green), its mean over a window
    # around each cell (the score), and the centroid of the weight over a larger window
    # (the box centre, exact while the window holds the whole square). Persons come from
    # the stride-8 head, cars from the stride-16 head, so each box follows its own colour.
    nodes, inits, parts = [], [], []
    xs = (np.arange(SIZE, dtype=F) + F(0.5))
    inits += [numpy_helper.from_array(np.broadcast_to(xs[None, :], (SIZE, SIZE)).reshape(1, 1, SIZE, SIZE).astype(F), "xcoord"),
              numpy_helper.from_array(np.broadcast_to(xs[:, None], (SIZE, SIZE)).reshape(1, 1, SIZE, SIZE).astype(F), "ycoord"),
              numpy_helper.from_array(np.array([1e-6], F), "eps")]
    heads = {8: (0, 0, 5, 7, 10.0), 16: (1, 2, 3, 5, 14.5)}  # stride: channel, class, score cells, centroid cells, gain
    for s in (8, 16, 32):
        g = SIZE // s
        p = "m%d" % s
        cls_bias = np.full((80,), -20.0, F)
        if s in heads:
            channel, cls, score_k, cen_k, gain = heads[s]
            w = np.full((1, 3, 1, 1), -1.0, F)
            w[0, channel] = 1.0
            inits += [numpy_helper.from_array(w, p + "_cw")]
            nodes += [helper.make_node("Conv", ["images", p + "_cw"], [p + "_c"], kernel_shape=[1, 1]),
                      helper.make_node("Relu", [p + "_c"], [p + "_m"]),
                      helper.make_node("Mul", [p + "_m", "xcoord"], [p + "_mx"]),
                      helper.make_node("Mul", [p + "_m", "ycoord"], [p + "_my"])]
            for t in ("m", "mx", "my"):
                nodes.append(helper.make_node("AveragePool", [p + "_" + t], [p + "_" + t + "p"], kernel_shape=[s, s],
                                              strides=[s, s]))
                r = cen_k // 2
                nodes.append(helper.make_node("AveragePool", [p + "_" + t + "p"], [p + "_" + t + "w"],
                                              kernel_shape=[cen_k, cen_k], strides=[1, 1], pads=[r, r, r, r]))
            r = score_k // 2
            nodes += [helper.make_node("AveragePool", [p + "_mp"], [p + "_score"], kernel_shape=[score_k, score_k],
                                       strides=[1, 1], pads=[r, r, r, r]),
                      helper.make_node("Add", [p + "_mw", "eps"], [p + "_den"]),
                      helper.make_node("Div", [p + "_mxw", p + "_den"], [p + "_cx"]),
                      helper.make_node("Div", [p + "_myw", p + "_den"], [p + "_cy"])]
            wc = np.zeros((80, 1, 1, 1), F)
            wc[cls, 0, 0, 0] = gain
            cls_bias[cls] = -5.0
            src_cls, src_wh = p + "_score", p + "_score"
        else:
            nodes.append(helper.make_node("AveragePool", ["images"], [p + "_pool"], kernel_shape=[s, s], strides=[s, s]))
            wc = np.zeros((80, 3, 1, 1), F)
            src_cls = src_wh = p + "_pool"
        cin = 1 if s in heads else 3
        inits += [numpy_helper.from_array(np.zeros((2, cin, 1, 1), F), p + "_wwh"),
                  numpy_helper.from_array(np.array([BOX, BOX], F), p + "_bwh"),
                  numpy_helper.from_array(wc, p + "_wc"), numpy_helper.from_array(cls_bias, p + "_bc"),
                  numpy_helper.from_array(np.array([1, 84, g * g], np.int64), p + "_shape")]
        nodes += [helper.make_node("Conv", [src_wh, p + "_wwh", p + "_bwh"], [p + "_wh"], kernel_shape=[1, 1]),
                  helper.make_node("Conv", [src_cls, p + "_wc", p + "_bc"], [p + "_c0"], kernel_shape=[1, 1]),
                  helper.make_node("Sigmoid", [p + "_c0"], [p + "_cls"])]
        if s in heads:
            nodes.append(helper.make_node("Concat", [p + "_cx", p + "_cy", p + "_wh", p + "_cls"], [p + "_cat"], axis=1))
        else:
            inits.append(numpy_helper.from_array(np.zeros((2, 3, 1, 1), F), p + "_wxy"))
            nodes += [helper.make_node("Conv", [p + "_pool", p + "_wxy"], [p + "_xy"], kernel_shape=[1, 1]),
                      helper.make_node("Concat", [p + "_xy", p + "_wh", p + "_cls"], [p + "_cat"], axis=1)]
        nodes.append(helper.make_node("Reshape", [p + "_cat", p + "_shape"], [p + "_flat"]))
        parts.append(p + "_flat")
    nodes.append(helper.make_node("Concat", parts, ["output0"], axis=2))
    n = sum((SIZE // s) ** 2 for s in (8, 16, 32))
    save("moving_v8_320.onnx", nodes, inits, [("output0", [1, 84, n])])


def replay(name, extra):
    d = os.path.join(OUT, name)
    os.makedirs(d, exist_ok=True)
    n = 8400
    box = np.zeros((1, 4, n), F)
    cls = np.zeros((1, 80, n), F)
    box[0, :, 100] = (320, 240, 100, 100)
    cls[0, 0, 100] = 0.9
    box.tofile(os.path.join(d, "box.bin"))
    cls.tofile(os.path.join(d, "cls.bin"))
    doc = {"outputs": [{"file": "box.bin", "shape": [1, 4, n]}, {"file": "cls.bin", "shape": [1, 80, n]}]}
    doc.update(extra)
    with open(os.path.join(d, "model.replay.json"), "w") as f:
        json.dump(doc, f, indent=1)


def mismatched():
    nodes = [helper.make_node("GlobalAveragePool", ["images"], ["tiny"])]
    save("mismatched.onnx", nodes, [], [("tiny", [1, 3, 1, 1])])


moving_v8()
replay("slow", {"invoke-ms": 200})
replay("failing", {"fail-frames": [2, 3, 4]})
mismatched()
with open(os.path.join(OUT, "stamp"), "w") as f:
    f.write("ok\n")
