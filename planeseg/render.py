"""Pictures of a labelled cloud: a top view and an oblique view, one colour per label."""

from __future__ import annotations

import numpy as np

from planeseg.io import label_colours


def even_sample(count, limit):
    """At most limit indices spread evenly over range(count)."""
    if count <= limit:
        return np.arange(count)
    return np.linspace(0, count - 1, limit).astype(np.int64)


def render_png(path, coords, labels, title="", max_points=300_000):
    """Writes a PNG of the labelled cloud (unlabelled points grey). At most max_points points
    are drawn, sampled evenly, so that a 20M-point cloud renders in seconds."""
    import matplotlib

    matplotlib.use("Agg", force=True)
    import matplotlib.pyplot as plt

    coords = np.asarray(coords, np.float64)
    labels = np.asarray(labels)
    finite = np.flatnonzero(np.isfinite(coords).all(axis=1))
    keep = finite[even_sample(len(finite), max_points)]
    pts = coords[keep] - (coords[keep].mean(axis=0) if len(keep) else 0.0)
    colours = label_colours(labels[keep]) / 255.0
    size = max(0.3, min(6.0, 60000.0 / max(1, len(keep))))

    fig = plt.figure(figsize=(13, 6), dpi=110)
    top = fig.add_subplot(1, 2, 1)
    order = np.argsort(pts[:, 2]) if len(pts) else keep  # higher points drawn last, as seen from above
    top.scatter(pts[order, 0], pts[order, 1], c=colours[order], s=size, linewidths=0)
    top.set_aspect("equal", adjustable="datalim")
    top.set_title("top view")
    top.set_xlabel("x")
    top.set_ylabel("y")
    oblique = fig.add_subplot(1, 2, 2, projection="3d")
    oblique.scatter(pts[:, 0], pts[:, 1], pts[:, 2], c=colours, s=size, linewidths=0, depthshade=False)
    oblique.view_init(elev=30, azim=-60)
    if len(pts):
        span = np.ptp(pts, axis=0)
        oblique.set_box_aspect(np.maximum(span, span.max() * 0.05))
    oblique.set_title("oblique view")
    regions = int(len(np.unique(labels[labels >= 0])))
    fig.suptitle(title or f"{len(coords):,} points, {regions} regions"
                 + (f" ({len(keep):,} drawn)" if len(keep) < len(finite) else ""))
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
