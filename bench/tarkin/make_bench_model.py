"""Builds the detection benchmark's model: a small YOLOv8-shaped detector exported at
640 and at 320 ([1,3,S,S] in, [1,84,N] out). A backbone of strided 3x3 convolutions
feeds three heads at strides 8, 16 and 32, so, as with a real detector, its cost
grows with the input area. Weights are random but fixed; class scores come out mostly
low, so each frame has tens of candidates, not thousands.
Usage: make_bench_model.py OUTDIR"""
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

F = np.float32
OUT = sys.argv[1]
CLS_STD = 0.4
os.makedirs(OUT, exist_ok=True)


def build(size):
    rng = np.random.default_rng(2024)
    nodes, inits = [], []

    def conv(name, x, cin, cout, k, stride, relu=True, bias=None, std=None):
        w = rng.normal(0, std or (2.0 / (cin * k * k)) ** 0.5, (cout, cin, k, k)).astype(F)
        b = np.zeros(cout, F) if bias is None else bias.astype(F)
        inits.extend([numpy_helper.from_array(w, name + "_w"), numpy_helper.from_array(b, name + "_b")])
        nodes.append(helper.make_node("Conv", [x, name + "_w", name + "_b"], [name + ("_c" if relu else "")],
                                      kernel_shape=[k, k], strides=[stride, stride], pads=[k // 2] * 4))
        if relu:
            nodes.append(helper.make_node("Relu", [name + "_c"], [name]))
        return name

    x = conv("s1", "images", 3, 16, 3, 2)      # S/2
    x = conv("s2", x, 16, 32, 3, 2)            # S/4
    x = conv("s3", x, 32, 32, 3, 1)
    p8 = conv("s4", x, 32, 64, 3, 2)           # S/8
    p8 = conv("s5", p8, 64, 64, 3, 1)
    p16 = conv("s6", p8, 64, 96, 3, 2)         # S/16
    p32 = conv("s7", p16, 96, 128, 3, 2)       # S/32
    parts = []
    for name, feat, cin in (("h8", p8, 64), ("h16", p16, 96), ("h32", p32, 128)):
        g = size // {"h8": 8, "h16": 16, "h32": 32}[name]
        box = conv(name + "_box", feat, cin, 4, 1, 1, relu=False, std=0.05)
        cls = conv(name + "_cls", feat, cin, 80, 1, 1, relu=False, std=0.25, bias=np.full(80, -3.0))
        # Boxes: a sigmoid spread over the picture; classes: a softmax over the 80, so
        # that, as with a trained model, a column has at most one class above 0.5.
        scale = np.full((1, 4, g, g), size, F)
        scale[0, 2:] = size / 4
        inits.append(numpy_helper.from_array(scale, name + "_scale"))
        inits.append(numpy_helper.from_array(np.array([1, 84, g * g], np.int64), name + "_shape"))
        nodes += [helper.make_node("Sigmoid", [box], [name + "_bs"]),
                  helper.make_node("Mul", [name + "_bs", name + "_scale"], [name + "_bp"]),
                  helper.make_node("Softmax", [cls], [name + "_cp"], axis=1),
                  helper.make_node("Concat", [name + "_bp", name + "_cp"], [name + "_cat"], axis=1),
                  helper.make_node("Reshape", [name + "_cat", name + "_shape"], [name + "_flat"])]
        parts.append(name + "_flat")
    nodes.append(helper.make_node("Concat", parts, ["output0"], axis=2))
    n = sum((size // s) ** 2 for s in (8, 16, 32))
    graph = helper.make_graph(nodes, "bench_v8_%d" % size,
                              [helper.make_tensor_value_info("images", TensorProto.FLOAT, [1, 3, size, size])],
                              [helper.make_tensor_value_info("output0", TensorProto.FLOAT, [1, 84, n])], inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 11)])
    model.ir_version = 6
    onnx.checker.check_model(model)
    onnx.save(model, os.path.join(OUT, "bench_v8_%d.onnx" % size))


for s in (640, 320):
    build(s)
print("made the benchmark models in %s" % OUT)
