"""Segmentation quality: against ground-truth plane labels, and without ground truth.

Labels are integer arrays of one entry per point; negative means "no plane" (clutter in the
ground truth, unlabelled in a prediction). Everything is computed from one contingency table.
"""

from __future__ import annotations

import numpy as np


def _dense(labels):
    """Maps the non-negative labels to 0..K-1; returns (dense labels with -1 kept, K)."""
    labels = np.asarray(labels).astype(np.int64, copy=False)
    valid = labels >= 0
    dense = np.full(labels.shape, -1, np.int64)
    if valid.any():
        _, inverse = np.unique(labels[valid], return_inverse=True)
        dense[valid] = inverse
    return dense, int(dense.max()) + 1


def contingency(truth, pred):
    """Table C[g, p]: points of ground-truth plane g in predicted segment p, with the sizes
    of every plane and segment (clutter and unlabelled points count in the sizes of the
    segment or plane they belong to)."""
    g, n_true = _dense(truth)
    p, n_pred = _dense(pred)
    both = (g >= 0) & (p >= 0)
    table = np.bincount(g[both] * n_pred + p[both], minlength=n_true * n_pred).reshape(n_true, n_pred)
    true_sizes = np.bincount(g[g >= 0], minlength=n_true)
    pred_sizes = np.bincount(p[p >= 0], minlength=n_pred)
    return table, true_sizes, pred_sizes


def plane_metrics(truth, pred, share=0.05, min_segment_points=0) -> dict:
    """Quality of pred against the ground-truth planes of truth.

    Segments of fewer than min_segment_points points are not counted as detected planes in
    precision (they still take their points from the planes' IoU and the unlabelled share).

    - best_iou: per ground-truth plane, the IoU of its best-overlapping segment;
    - recall@t / precision@t: share of planes / segments whose best IoU exceeds t
      (t = 0.5 and 0.8; above 0.5 the matching is one-to-one), f1@t their harmonic mean;
    - weighted_iou: mean best IoU weighted by plane size;
    - over_segmented: planes split into two or more segments that each lie mostly (over half)
      in the plane and each hold at least `share` of it;
    - under_segmented: segments holding two or more planes that each lie mostly in the
      segment and each make up at least `share` of it;
    - unlabelled_share: share of plane points left without a segment.
    """
    table, true_sizes, pred_sizes = contingency(truth, pred)
    n_true, n_pred = table.shape
    union = true_sizes[:, None] + pred_sizes[None, :] - table
    iou = np.divide(table, union, out=np.zeros(table.shape), where=union > 0)
    best_true = iou.max(axis=1) if n_pred else np.zeros(n_true)
    best_pred = iou.max(axis=0) if n_true else np.zeros(n_pred)
    detections = pred_sizes >= min_segment_points
    best_pred = best_pred[detections]
    out = {"planes": n_true, "segments": int(detections.sum())}
    for t in (0.5, 0.8):
        recall = float(np.mean(best_true > t)) if n_true else 0.0
        precision = float(np.mean(best_pred > t)) if len(best_pred) else 0.0
        f1 = 2 * precision * recall / (precision + recall) if precision + recall else 0.0
        out.update({f"recall@{t}": recall, f"precision@{t}": precision, f"f1@{t}": f1})
    out["weighted_iou"] = float(np.sum(best_true * true_sizes) / true_sizes.sum()) if n_true else 0.0

    mostly_in_plane = table * 2 > pred_sizes[None, :]
    holds_share = table >= share * true_sizes[:, None]
    out["over_segmented"] = int(np.sum((mostly_in_plane & holds_share).sum(axis=1) >= 2))
    mostly_in_segment = table * 2 > true_sizes[:, None]
    makes_share = table >= share * pred_sizes[None, :]
    out["under_segmented"] = int(np.sum((mostly_in_segment & makes_share).sum(axis=0) >= 2))

    truth = np.asarray(truth)
    on_planes = truth >= 0
    out["unlabelled_share"] = float(np.mean(np.asarray(pred)[on_planes] < 0)) if on_planes.any() else 0.0
    return out


def unsupervised_metrics(coords, pred, min_points=1) -> dict:
    """For clouds without ground truth: segments found (with at least min_points points), the
    share of points labelled, and the RMS distance of labelled points to their segment's
    least-squares plane (in double precision, about each segment's centroid)."""
    coords = np.asarray(coords, np.float64)
    p, n = _dense(pred)
    labelled = p >= 0
    out = {"segments": 0, "labelled_share": float(labelled.mean()) if len(p) else 0.0, "rms_plane_dist": 0.0}
    if not labelled.any():
        return out
    p, x = p[labelled], coords[labelled]
    counts = np.bincount(p, minlength=n).astype(np.float64)
    centroids = np.stack([np.bincount(p, x[:, a], n) for a in range(3)], axis=1) / counts[:, None]
    d = x - centroids[p]
    scatter = np.empty((n, 3, 3))
    for a in range(3):
        for b in range(a, 3):
            scatter[:, a, b] = scatter[:, b, a] = np.bincount(p, d[:, a] * d[:, b], n)
    smallest = np.linalg.eigvalsh(scatter)[:, 0].clip(min=0)
    out["segments"] = int(np.sum(counts >= min_points))
    out["rms_plane_dist"] = float(np.sqrt(smallest.sum() / len(p)))
    return out
