"""Detections in a Python callback: a generated clip of one red square that the
generated test model calls a "person", the objects as DetectedObject records and as a
NumPy structured array, kept valid past the callback, and the stream's inference
numbers."""
import json
import os
import subprocess
import time
from pathlib import Path

import numpy as np
import pytest

if os.environ.get("NIMBRA_EXPECT_PYMODULE"):
    import nimbragst
else:
    nimbragst = pytest.importorskip("nimbragst")

BUILD_DIR = Path(os.environ.get("NIMBRA_BUILD_DIR", Path(nimbragst.__file__).resolve().parent.parent))
MODEL = BUILD_DIR / "tests" / "core" / "detect-models" / "moving_v8_320.onnx"
LIMIT = 60  # a guard against hangs only
W, H, FRAMES, SQUARE = 320, 240, 30, (100, 80, 40)


def make_clip(path):
    raw = path.with_suffix(".rgb")
    frame = np.full((H, W, 3), 40, np.uint8)
    x, y, side = SQUARE
    frame[y:y + side, x:x + side] = (255, 0, 0)
    raw.write_bytes(frame.tobytes() * FRAMES)
    subprocess.run(["gst-launch-1.0", "-q", "filesrc", f"location={raw}", "!", "rawvideoparse", "format=rgb",
                    f"width={W}", f"height={H}", "framerate=25/1", "!", "videoconvert", "!",
                    "video/x-raw,format=I420", "!", "x264enc", "speed-preset=ultrafast", "!", "h264parse", "!",
                    "mp4mux", "!", "filesink", f"location={path}"], check=True, timeout=LIMIT)


def test_objects_reach_the_python_callback(tmp_path):
    assert MODEL.is_file(), f"missing generated model {MODEL}"
    clip = tmp_path / "square.mp4"
    make_clip(clip)
    conf = tmp_path / "nimbra-gst.conf"
    conf.write_text(json.dumps({"streams": [{"streamsId": "py_detect", "properties": {
        "inputType": "file", "inputAddr": str(clip), "decodeType": "H264",
        "detect": {"model": str(MODEL), "modelSize": 320, "boxThresh": 0.9, "classes": ["person"]}}}]}))
    nimbragst._set_config_path(str(conf))
    kept = []

    def cb(img):
        kept.append((img, img.objects, img.objects_array))
        # Wait for the model to have run on this frame, so the next one carries its result.
        deadline = time.monotonic() + LIMIT
        while nimbragst.get_stream_health("py_detect").inferences < img.frame_index:
            assert time.monotonic() < deadline, f"no inference for frame {img.frame_index}"
            time.sleep(0.01)
        return 0

    assert nimbragst.start_stream("py_detect", cb) == 0
    assert len(kept) == FRAMES
    x, y, side = SQUARE
    ids = set()
    for img, objects, array in kept:
        if img.frame_index == 1:
            # Nothing was detected before; only the model finishing on this very frame
            # before its delivery gives it objects.
            assert len(objects) == len(array) and all(o.age == 0 for o in objects)
            continue
        assert len(objects) == 1, img.frame_index
        o = objects[0]
        assert isinstance(o, nimbragst.DetectedObject)
        assert o.label == "person" and o.class_id == 0
        assert 0.9 < o.confidence <= 1.0
        assert abs(o.x - x) <= 3 and abs(o.y - y) <= 3
        assert abs(o.width - side) <= 1 and abs(o.height - side) <= 1
        assert o.age in (0, 1)
        ids.add(o.track_id)
        # The array holds the same records.
        assert array.dtype.names == ("class_id", "track_id", "age", "confidence", "x", "y", "width", "height",
                                     "label")
        assert array.shape == (1,)
        assert array["label"][0] == "person" and array["track_id"][0] == o.track_id
        assert array["x"][0] == pytest.approx(o.x) and array["confidence"][0] == pytest.approx(o.confidence)
        # Kept past its callback, the Image still has its own objects.
        assert [k.track_id for k in img.objects] == [o.track_id]
    assert len(ids) == 1 and min(ids) >= 1
    h = nimbragst.get_stream_health("py_detect")
    assert h.inferences == FRAMES and h.inference_failures == 0
    assert h.objects == 1 and h.inference_p50_ms > 0
