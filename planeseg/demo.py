"""Grows the planes of a generated room and prints what it found against the ground truth.

    python -m planeseg.demo [--points N] [--noise SIGMA] [--seed S]
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import tessel
from planeseg.metrics import plane_metrics
from planeseg.scenes import room
from planeseg.seeded import segment_with_seeded_grower


def plane_of(points):
    centroid = points.mean(axis=0)
    _, _, vt = np.linalg.svd(points - centroid, full_matrices=False)
    return centroid, vt[2]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--points", type=int, default=200_000)
    ap.add_argument("--noise", type=float, default=0.003, help="metres along the face normals")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args(argv)

    scene = room(args.points, noise=args.noise, seed=args.seed)
    coords, truth = scene.coords, scene.labels
    params = {"epsilon": 0.03, "tau": 200}
    t0 = time.perf_counter()
    grower = tessel.SeededGrower(coords, params=params)
    t_build = time.perf_counter() - t0
    print(f"room of {len(coords):,} points, {scene.num_planes} true planes, {args.noise * 1000:.1f} mm noise; "
          f"index and normals built in {t_build:.2f} s")

    t0 = time.perf_counter()
    labels = segment_with_seeded_grower(coords, grower=grower, seed=args.seed)
    t_grow = time.perf_counter() - t0
    print(f"{labels.max() + 1} regions grown in {t_grow:.2f} s, {np.mean(labels >= 0):.1%} of points labelled")
    print(f"{'region':>6} {'points':>8} {'normal':>24} {'rms (mm)':>9} {'true plane':>11}")
    for region in range(labels.max() + 1):
        pts = coords[labels == region]
        centroid, normal = plane_of(pts)
        rms = np.sqrt(np.mean(((pts - centroid) @ normal) ** 2)) * 1000
        majority = np.bincount(truth[labels == region] + 1).argmax() - 1
        n = normal * np.sign(normal[np.argmax(np.abs(normal))])
        print(f"{region:>6} {len(pts):>8,} {np.array2string(n, precision=3, suppress_small=True):>24} "
              f"{rms:>9.2f} {majority:>11}")
    q = plane_metrics(truth, labels)
    print(f"quality: F1 {q['f1@0.5']:.2f} at IoU 0.5 ({q['f1@0.8']:.2f} at 0.8), size-weighted IoU "
          f"{q['weighted_iou']:.3f}, {q['over_segmented']} planes over-segmented, "
          f"{q['under_segmented']} segments under-segmented")


if __name__ == "__main__":
    main()
