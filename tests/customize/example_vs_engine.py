"""The example application (its own OpenCV DNN inference plus libnmx_customize)
against the detection element on the same frame and model: the element's text
must be the example's detections, clipped to the frame, normalised and cut at 512.
The example saves the frame it decoded and the element is fed exactly that.
Usage: example_vs_engine.py EXAMPLE MODEL MODEL_TYPE CLIP"""
import os
import re
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.environ["NIMBRA_SOURCE_DIR"], "tests", "tarkin"))
import yolo_reference as ref  # noqa: E402

example, model_name, model_type, clip_name = sys.argv[1:5]
model = os.path.join(os.environ["NIMBRA_TARKIN_MODELS"], model_name)
clip = os.path.join(os.environ["NIMBRA_MEDIA_DIR"], clip_name)
for path in (example, model, clip):
    if not os.access(path, os.R_OK):
        sys.exit("missing input " + path)

tmp = tempfile.TemporaryDirectory()
frame = os.path.join(tmp.name, "frame.bgr")
# Safety limits for a hung process only; the runs take seconds.
out = subprocess.run([example, "--save-frame", frame, model, model_type, clip, "1"], capture_output=True,
                     text=True, timeout=600)
if out.returncode != 0:
    sys.exit("example failed: " + out.stderr)
m = re.search(r"^frame 1 of .*: (\d+)x(\d+) stride", out.stdout, re.M)
width, height = int(m.group(1)), int(m.group(2))
dets = []
for line in out.stdout.splitlines():
    if line.startswith("detection "):
        f = dict(kv.split("=") for kv in line.split()[1:])
        dets.append((int(f["class"]), float(f["score"]), float(f["x"]), float(f["y"]), float(f["width"]),
                     float(f["height"])))
if not dets:
    sys.exit("the example found nothing; the comparison would prove nothing")

if os.path.getsize(frame) != width * height * 3:
    sys.exit("saved frame has %d bytes" % os.path.getsize(frame))
texts = os.path.join(tmp.name, "texts")
launch = ["gst-launch-1.0", "-q", "filesrc", "location=" + frame, "blocksize=%d" % (width * height * 3), "!",
          "rawvideoparse", "format=bgr", "width=%d" % width, "height=%d" % height, "!", "nmx-tarkin",
          "model=" + model, "model-type=" + model_type, "!", "filesink", "location=" + texts]
run = subprocess.run(launch, capture_output=True, text=True, timeout=600)
if run.returncode != 0:
    sys.exit("gst-launch failed: " + run.stderr)
with open(texts) as fh:
    text = fh.read()
tmp.cleanup()

# The structure text nests escapes; without the backslashes it reads plainly.
plain = text.replace("\\", "")
if plain.count("ObjectDetection") != 1 or "timestamp=(guint64)1," not in plain:
    sys.exit("expected one text for frame 1, got: " + plain[:300])
boxes = re.findall(r'"?([A-Za-z_][\w+\-./:]*), id=\(uint\)(\d+), confidence=\(double\)([-+\d.eE]+), '
                   r'color=\(uint\)\d+, rectangle=\(float\)< ([^>]*) >', plain)
expected = dets[:512]
if len(boxes) != len(expected):
    sys.exit("element gave %d boxes, the example %d (of %d)" % (len(boxes), len(expected), len(dets)))


def clip_norm(x, y, w, h):
    x1, x2 = min(max(x, 0.0), width), min(max(x + w, 0.0), width)
    y1, y2 = min(max(y, 0.0), height), min(max(y + h, 0.0), height)
    return x1 / width, y1 / height, (x2 - x1) / width, (y2 - y1) / height


bad = 0
for k, ((label, ident, conf, rect), (cls, score, x, y, w, h)) in enumerate(zip(boxes, expected)):
    got = [float(v) for v in rect.split(",")]
    want = clip_norm(x, y, w, h)
    # The example prints 6 decimals of score and 3 of pixels.
    ok = (label == ref.label_name(cls) and int(ident) == 256 + k and abs(float(conf) - score * 100) < 1e-3
          and all(abs(a - b) < 1e-5 for a, b in zip(got, want)))
    if not ok and bad < 5:
        print("box %d: element %s %s %s %s, example class %d score %.6f rect %s"
              % (k, label, ident, conf, got, cls, score, want), file=sys.stderr)
    bad += not ok
if bad:
    sys.exit("%d of %d boxes differ" % (bad, len(boxes)))
print("ok: %s on %s: %d boxes equal (example found %d)" % (model_name, clip_name, len(boxes), len(dets)))
