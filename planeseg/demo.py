"""The built-in example: a generated room segmented with both methods.

    planeseg demo [--folder DIR] [--points N]      (also: python -m planeseg.demo)

Writes, for tessel and quarvo, the labelled PLY, the labels NPY and a PNG into the folder, and
prints a summary with the quality against the scene's ground truth.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

import numpy as np

from planeseg.io import write_labelled_ply, write_labels
from planeseg.metrics import plane_metrics
from planeseg.progress import run_with_progress
from planeseg.scenes import room

NOISE = 0.003


def method_params(spacing, points):
    """Parameters from the point spacing and the noise: neighbours within 4 spacings and a
    plane tolerance of 3 epsilon above three noise deviations for tessel; a plane distance of
    three noise deviations and clusters joined within 2.5 spacings for quarvo."""
    min_points = max(80, points // 5000)
    return {
        "tessel": {"epsilon": max(spacing, 3 * NOISE), "neighbor_radius": 4 * spacing, "tau": min_points,
                   "seed": 1},
        "quarvo": {"epsilon": max(3 * NOISE, 9 * spacing * spacing), "cluster_epsilon": (2.5 * spacing) ** 2,
                   "min_points": min_points, "max_iterations_per_plane": 20000, "seed": 0},
    }


def segment(method, coords, params, quiet):
    import quarvo
    import tessel

    if method == "tessel":
        progress = tessel.Progress()
        call = lambda: tessel.segment_planar_regions(coords, params=params, progress=progress)  # noqa: E731
    else:
        progress = quarvo.Progress()
        call = lambda: quarvo.segment_planes(coords, params=params, progress=progress)  # noqa: E731
    (labels, _), cancelled = run_with_progress(call, progress, method, quiet)
    return labels, cancelled


def run(folder, points=1_000_000, quiet=False):
    from planeseg.render import render_png

    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    scene = room(points, noise=NOISE, seed=1)
    coords = scene.coords.astype(np.float32)
    print(f"room of {len(coords):,} points about {scene.spacing * 100:.1f} cm apart, {scene.num_planes} true planes, "
          f"{NOISE * 1000:.0f} mm noise; writing into {folder}/")
    cancelled_any = False
    for method, params in method_params(scene.spacing, len(coords)).items():
        t0 = time.perf_counter()
        labels, cancelled = segment(method, coords, params, quiet)
        seconds = time.perf_counter() - t0
        cancelled_any |= cancelled
        write_labels(folder / f"{method}_labels.npy", labels)
        write_labelled_ply(folder / f"{method}.ply", scene.coords, labels)
        render_png(folder / f"{method}.png", scene.coords, labels,
                   title=f"generated room, {method}: {len(np.unique(labels[labels >= 0]))} regions")
        q = plane_metrics(scene.labels, labels, min_segment_points=params.get("tau", params.get("min_points")))
        print(f"{method:>6}: {seconds:6.2f} s, {q['segments']:3d} regions, F1 {q['f1@0.5']:.2f} at IoU 0.5 "
              f"({q['f1@0.8']:.2f} at 0.8), {q['unlabelled_share']:.1%} of plane points unlabelled; "
              f"{method}.ply, {method}_labels.npy, {method}.png")
    return 130 if cancelled_any else 0


def main(argv=None):
    from planeseg.cli import main as cli_main

    return cli_main(["demo", *(sys.argv[1:] if argv is None else argv)])


if __name__ == "__main__":
    sys.exit(main())
