"""Events and metrics from Python: callbacks on the library's event thread, the poll
queue, and /metrics of a running stream fetched over HTTP and read with Prometheus' own
text parser (an independent reference for the format and the histogram bounds)."""
import json
import os
import threading
import urllib.request
from pathlib import Path

import pytest

if os.environ.get("NIMBRA_EXPECT_PYMODULE"):
    import nimbragst
else:
    nimbragst = pytest.importorskip("nimbragst")
parser = pytest.importorskip("prometheus_client.parser")

BUILD_DIR = Path(nimbragst.__file__).resolve().parent.parent
MEDIA = Path(os.environ.get("NIMBRA_MEDIA_DIR", BUILD_DIR / "media"))
os.environ.setdefault("GST_PLUGIN_PATH", str(BUILD_DIR / "platform" / "gst-soft"))
LIMIT = 60  # a guard against hangs only


def write_config(path, top=None, *streams):
    cfg = {"streams": list(streams)}
    cfg.update(top or {})
    path.write_text(json.dumps(cfg))
    nimbragst._set_config_path(str(path))
    return str(path)


def scrape(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=LIMIT) as r:
        assert r.status == 200
        assert r.headers["Content-Type"].startswith("text/plain")
        text = r.read().decode()
    return {f.name: f for f in parser.text_string_to_metric_families(text)}


def samples(family, name, **labels):
    return [s for s in family.samples if s.name == name and all(s.labels.get(k) == v for k, v in labels.items())]


def test_callbacks_poll_and_a_failing_callback(tmp_path):
    write_config(tmp_path / "c.conf", None, {"streamsId": "py_ev", "properties": {
        "inputType": "file", "inputAddr": "/none.mp4",
        "events": {"minFrames": 2}, "lines": [{"name": "gate", "points": [[0, 100], [640, 100]]}]}})
    assert nimbragst.configure_stream_events("py_ev") == 0
    nimbragst.poll_events(100000)
    got, threads, done = [], set(), threading.Event()

    def on_ev(e):
        got.append((e.type, e.sequence, e.track_id, e.line, e.direction))
        threads.add(threading.get_ident())
        if e.type == "end":
            done.set()

    def broken(e):
        raise RuntimeError("a bug in a user's callback")

    h = nimbragst.on_event(on_ev)
    hb = nimbragst.on_event(broken)
    unraisable = []
    old_hook = os.sys.unraisablehook
    os.sys.unraisablehook = lambda u: unraisable.append(u)
    try:
        # A box moving down across y=100 (its bottom edge is the anchor), two frames a side.
        for i, y in enumerate([60, 70, 110, 120]):
            nimbragst.feed_event_frame("py_ev", i, 640, 480, [(4, "person", 0.8, 50, y - 40, 20, 40)],
                                       pts_ns=i * 40_000_000, wall_time_s=500 + i)
        nimbragst.feed_event_frame("py_ev", 4, 640, 480, [])
        assert done.wait(LIMIT)
    finally:
        nimbragst.remove_event_callback(hb)
        os.sys.unraisablehook = old_hook
    assert nimbragst.remove_event_callback(h)
    assert not nimbragst.remove_event_callback(h)
    assert got == [("new", 1, 4, "", ""), ("line_cross", 2, 4, "gate", "left_to_right"), ("end", 3, 4, "", "")]
    assert threading.get_ident() not in threads and len(threads) == 1
    assert len(unraisable) >= 3 and "a bug" in str(unraisable[0].exc_value)

    polled = nimbragst.poll_events(10, timeout=1.0)
    assert [e.type for e in polled] == ["new", "line_cross", "end"]
    j = json.loads(polled[1].to_json())
    assert j["type"] == "line_cross" and j["line"] == "gate" and j["sequence"] == 2
    assert j["box"] == {"x": 50, "y": 80, "width": 20, "height": 40}  # the box of the frame that confirmed it
    assert polled[2].end_time_s == 503 and polled[0].start_time_s == 500
    with pytest.raises(ValueError):
        nimbragst.feed_event_frame("py_ev", 9, 640, 480, [(1, "x")])


def test_metrics_of_a_running_stream(tmp_path):
    clip = MEDIA / "h264_small.mp4"
    assert clip.is_file(), f"missing test media {clip}"
    conf = write_config(tmp_path / "m.conf", {"metricsPort": 0}, {"streamsId": "py_metrics", "properties": {
        "inputType": "file", "inputAddr": str(clip), "decodeType": "H264", "manualRebuild": True,
        "events": {"minFrames": 1, "labels": ["car", "person"]}}})
    assert nimbragst.start_event_services(conf) == 0
    try:
        port = nimbragst.metrics_port()
        assert port > 0
        counted = {}
        lock = threading.Lock()

        def on_ev(e):
            with lock:
                key = (e.type, e.label)
                counted[key] = counted.get(key, 0) + 1

        h = nimbragst.on_event(on_ev)
        scraped = {}
        frames = {"n": 0}

        def cb(img):
            frames["n"] += 1
            n = frames["n"]
            # A person for the whole clip, a car every fifth frame (new and end each time).
            objs = [(1, "person", 0.9, 10, 10, 30, 60)]
            if n % 5 == 0:
                objs.append((1000 + n, "car", 0.6, 100, 100, 40, 20))
            nimbragst.feed_event_frame("py_metrics", n, img.width, img.height, objs)
            if n == 10:
                scraped["during"] = scrape(port)
            return 0

        durations = [0.00001, 0.0001, 0.005, 0.02, 0.02, 0.5, 40.0]
        for d in durations:
            nimbragst.observe_inference_seconds("py_metrics", d)
        assert nimbragst.start_stream("py_metrics", cb) == 0
        nimbragst.end_stream_events("py_metrics")
        with lock:
            expected_total = sum(counted.values())
        # Every event reached the callback once the thread caught up.
        stats = nimbragst.get_stream_health("py_metrics")
        fams = scraped["during"]
        assert samples(fams["nimbra_stream_up"], "nimbra_stream_up", stream="py_metrics")[0].value == 1
        assert samples(fams["nimbra_frames"], "nimbra_frames_total", stream="py_metrics")[0].value >= 10
        cbh = fams["nimbra_callback_seconds"]
        assert cbh.type == "histogram"
        count = samples(cbh, "nimbra_callback_seconds_count", stream="py_metrics")[0].value
        buckets = samples(cbh, "nimbra_callback_seconds_bucket", stream="py_metrics")
        les = [float(b.labels["le"]) for b in buckets]
        assert les == sorted(les) and les[-1] == float("inf")
        values = [b.value for b in buckets]
        assert values == sorted(values) and values[-1] == count
        assert count >= 9  # the callback scraping is still running its tenth frame

        # After the stream: the health record is the reference for the counters.
        fams = scrape(port)
        assert samples(fams["nimbra_frames"], "nimbra_frames_total", stream="py_metrics")[0].value == stats.frames_decoded
        assert samples(fams["nimbra_stream_up"], "nimbra_stream_up", stream="py_metrics")[0].value == 0
        assert samples(fams["nimbra_frames_dropped"], "nimbra_frames_dropped_total", stream="py_metrics")[0].value == 0

        # Inference histogram against the observations counted here.
        inf = fams["nimbra_inference_seconds"]
        for b in samples(inf, "nimbra_inference_seconds_bucket", stream="py_metrics"):
            le = float(b.labels["le"])
            assert b.value == sum(1 for d in durations if d <= le), le
        assert samples(inf, "nimbra_inference_seconds_count", stream="py_metrics")[0].value == len(durations)
        assert samples(inf, "nimbra_inference_seconds_sum", stream="py_metrics")[0].value == pytest.approx(
            sum(durations), rel=1e-6)

        # Events by type and label against what the callback saw.
        deadline = threading.Event()
        for _ in range(LIMIT * 50):
            ev = scrape(port)["nimbra_events"]
            total = sum(s.value for s in ev.samples if s.name == "nimbra_events_total" and s.labels["stream"] == "py_metrics")
            with lock:
                if total == sum(counted.values()):
                    break
            deadline.wait(0.02)
        with lock:
            for (typ, label), n in counted.items():
                assert samples(ev, "nimbra_events_total", stream="py_metrics", type=typ, label=label)[0].value == n
        assert counted[("new", "car")] == frames["n"] // 5
        assert counted[("new", "person")] == 1 and counted[("end", "person")] == 1
        assert expected_total > 0
        assert "nimbra_mqtt_queue_events" not in fams  # no MQTT configured
        nimbragst.remove_event_callback(h)
    finally:
        nimbragst.stop_event_services()
    assert nimbragst.metrics_port() == 0
