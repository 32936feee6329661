"""Independent numpy reference for YOLO decode, suppression and the text fields."""
import numpy as np

F = np.float32
ANCHORS = {8: [(10, 13), (16, 30), (33, 23)],
           16: [(30, 61), (62, 45), (59, 119)],
           32: [(116, 90), (156, 198), (373, 326)]}
COCO = ["person", "bicycle", "car", "motorcycle", "airplane", "bus", "train", "truck", "boat",
        "traffic light", "fire hydrant", "stop sign", "parking meter", "bench", "bird", "cat", "dog",
        "horse", "sheep", "cow", "elephant", "bear", "zebra", "giraffe", "backpack", "umbrella",
        "handbag", "tie", "suitcase", "frisbee", "skis", "snowboard", "sports ball", "kite",
        "baseball bat", "baseball glove", "skateboard", "surfboard", "tennis racket", "bottle",
        "wine glass", "cup", "fork", "knife", "spoon", "bowl", "banana", "apple", "sandwich", "orange",
        "broccoli", "carrot", "hot dog", "pizza", "donut", "cake", "chair", "couch", "potted plant",
        "bed", "dining table", "toilet", "tv", "laptop", "mouse", "remote", "keyboard", "cell phone",
        "microwave", "oven", "toaster", "sink", "refrigerator", "book", "clock", "vase", "scissors",
        "teddy bear", "hair drier", "toothbrush"]


def sig(x):
    return F(1.0) / (F(1.0) + np.exp(-F(x), dtype=F))


def label_name(c):
    name = COCO[c] if 0 <= c < 80 else "unknown"
    out = "".join(ch if (ch.isascii() and ch.isalnum()) or ch in "+-./:_" else "_" for ch in name)
    out = out or "object"
    if not (out[0].isascii() and out[0].isalpha()) and out[0] != "_":
        out = "cls_" + out
    return out


def letterbox_scale(w, h, size=640):
    s = max(F(h) / F(size), F(w) / F(size))
    return F(1.0) if s <= 0 else F(s)


def v5_decode(heads, thresh):
    """heads: {stride: array [H, W, 255]}; returns list of (box[4], score, cls)."""
    cands = []
    for stride in (8, 16, 32):
        p = heads[stride]
        H, W = p.shape[0], p.shape[1]
        cells = p.reshape(H, W, 3, 85)
        obj = sig(cells[..., 4])
        for a in range(3):
            aw, ah = ANCHORS[stride][a]
            # Visit cells where objectness passes; order a, i, j like the engine.
            for i, j in zip(*np.nonzero(obj[:, :, a] >= F(thresh))):
                v = cells[i, j, a]
                cls_vals = v[5:]
                best_k = int(np.argmax(cls_vals))
                best = cls_vals[best_k]
                if best <= F(0.0):
                    best, best_k = F(0.0), 0
                if not best > F(thresh):
                    continue
                dx = F(2) * sig(v[0]) - F(0.5)
                dy = F(2) * sig(v[1]) - F(0.5)
                bw = (F(2) * sig(v[2])) ** 2
                bh = (F(2) * sig(v[3])) ** 2
                w = F(aw) * bw
                h = F(ah) * bh
                x = (F(j) + dx) * F(stride) - w / F(2)
                y = (F(i) + dy) * F(stride) - h / F(2)
                cands.append(((a, int(i), int(j), stride), [x, y, w, h], sig(best) * obj[i, j, a], best_k))
    # The engine walks anchor, row, column per head.
    order = {8: 0, 16: 1, 32: 2}
    cands.sort(key=lambda c: (order[c[0][3]], c[0][0], c[0][1], c[0][2]))
    return [(c[1], c[2], c[3]) for c in cands]


def quick_sort_desc(values, left, right, idx):
    if left >= right:
        return
    key, key_i = values[left], idx[left]
    lo, hi = left, right
    while lo < hi:
        while lo < hi and values[hi] <= key:
            hi -= 1
        values[lo], idx[lo] = values[hi], idx[hi]
        while lo < hi and values[lo] >= key:
            lo += 1
        values[hi], idx[hi] = values[lo], idx[lo]
    values[lo], idx[lo] = key, key_i
    quick_sort_desc(values, left, lo - 1, idx)
    quick_sort_desc(values, lo + 1, right, idx)


def overlap_plus1(a, b):
    ax1, ay1, ax2, ay2 = a[0], a[1], a[0] + a[2], a[1] + a[3]
    bx1, by1, bx2, by2 = b[0], b[1], b[0] + b[2], b[1] + b[3]
    iw = max(0.0, min(ax2, bx2) - max(ax1, bx1) + 1)
    ih = max(0.0, min(ay2, by2) - max(ay1, by1) + 1)
    inter = iw * ih
    union = (ax2 - ax1 + 1) * (ay2 - ay1 + 1) + (bx2 - bx1 + 1) * (by2 - by1 + 1) - inter
    return 0.0 if union <= 0 else inter / union


def v5_suppress(cands, nms):
    n = len(cands)
    idx = list(range(n))
    vals = [float(c[1]) for c in cands]
    if n > 1:
        import sys
        sys.setrecursionlimit(100000)
        quick_sort_desc(vals, 0, n - 1, idx)
    for cls in sorted({c[2] for c in cands}):
        for i in range(n):
            if idx[i] == -1 or cands[idx[i]][2] != cls:
                continue
            for j in range(i + 1, n):
                if idx[j] == -1 or cands[idx[j]][2] != cls:
                    continue
                if overlap_plus1([float(v) for v in cands[idx[i]][0]],
                                 [float(v) for v in cands[idx[j]][0]]) > nms:
                    idx[j] = -1
    return [i for i in idx if i != -1]


def v8_decode(box, cls, scale, thresh):
    """box [4, 8400], cls [80, 8400] -> list of (rect ints, score, class)."""
    out = []
    best = cls.max(axis=0)
    for a in np.nonzero(best >= F(thresh))[0]:
        cx, cy, w, h = box[:, a]
        rect = [int(np.trunc((cx - F(0.5) * w) * scale)), int(np.trunc((cy - F(0.5) * h) * scale)),
                int(np.trunc(scale * w)), int(np.trunc(scale * h))]
        for c in range(80):
            v = cls[c, a]
            if v > F(thresh):
                out.append((rect, v, c))  # the class probability is the confidence
    return out


def iou_int(a, b):
    aa, ab = a[2] * a[3], b[2] * b[3]
    if aa + ab <= 0:
        return 1.0
    iw = min(a[0] + a[2], b[0] + b[2]) - max(a[0], b[0])
    ih = min(a[1] + a[3], b[1] + b[3]) - max(a[1], b[1])
    inter = iw * ih if iw > 0 and ih > 0 else 0
    return inter / (aa + ab - inter)


def v8_suppress(cands, score_thresh, nms):
    order = [i for i in range(len(cands)) if cands[i][1] > F(score_thresh)]
    order.sort(key=lambda i: -float(cands[i][1]))  # stable: ties keep index order
    kept = []
    for i in order:
        if all(iou_int(cands[i][0], cands[k][0]) <= nms for k in kept):
            kept.append(i)
    return kept


def text_boxes(boxes, width, height):
    """boxes: list of (x, y, w, h in frame pixels, score, cls) in output order."""
    out = []
    for n, (x, y, w, h, score, c) in enumerate(boxes[:512]):
        x1, y1, x2, y2 = float(x), float(y), float(x) + float(w), float(y) + float(h)
        x1, x2 = min(max(x1, 0.0), width), min(max(x2, 0.0), width)
        y1, y2 = min(max(y1, 0.0), height), min(max(y2, 0.0), height)
        x1, x2 = min(x1, x2), max(x1, x2)
        y1, y2 = min(y1, y2), max(y1, y2)
        out.append({"label": label_name(c), "id": 256 + n, "confidence": float(score) * 100.0,
                    "rect": [x1 / width, y1 / height, (x2 - x1) / width, (y2 - y1) / height]})
    return out
