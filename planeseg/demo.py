"""Segments a generated room into its planes and prints what was found against the ground truth.

    python -m planeseg.demo [--points N] [--noise SIGMA] [--seed S]
"""

from __future__ import annotations

import argparse

import numpy as np

import tessel
from planeseg.metrics import plane_metrics
from planeseg.scenes import room


def plane_of(points):
    centroid = points.mean(axis=0)
    _, _, vt = np.linalg.svd(points - centroid, full_matrices=False)
    return centroid, vt[2]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--points", type=int, default=1_000_000)
    ap.add_argument("--noise", type=float, default=0.003, help="metres along the face normals")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args(argv)

    scene = room(args.points, noise=args.noise, seed=args.seed)
    coords, truth = scene.coords, scene.labels
    # Points about scene.spacing apart: neighbours within 4 spacings, a voxel of the piece split
    # of at least one spacing, a plane tolerance of 3 epsilon, comfortably above the noise.
    epsilon = max(scene.spacing, 3 * args.noise)
    params = {"epsilon": epsilon, "neighbor_radius": 4 * scene.spacing, "seed": args.seed}
    print(f"room of {len(coords):,} points about {scene.spacing * 100:.1f} cm apart, {scene.num_planes} true "
          f"planes, {args.noise * 1000:.1f} mm noise; params {params}")
    labels, stats = tessel.segment_planar_regions(coords, params=params)
    print("statistics:", stats)
    print(f"{'region':>6} {'points':>9} {'normal':>24} {'rms (mm)':>9} {'true plane':>11}")
    for region in np.unique(labels[labels >= 0]):
        members = labels == region
        if members.sum() < 3:
            continue
        pts = coords[members]
        centroid, normal = plane_of(pts)
        rms = np.sqrt(np.mean(((pts - centroid) @ normal) ** 2)) * 1000
        majority = np.bincount(truth[members] + 1).argmax() - 1
        n = normal * np.sign(normal[np.argmax(np.abs(normal))])
        print(f"{region:>6} {members.sum():>9,} {np.array2string(n, precision=3, suppress_small=True):>24} "
              f"{rms:>9.2f} {majority:>11}")
    q = plane_metrics(truth, labels)
    print(f"quality: F1 {q['f1@0.5']:.2f} at IoU 0.5 ({q['f1@0.8']:.2f} at 0.8), size-weighted IoU "
          f"{q['weighted_iou']:.3f}, {q['over_segmented']} planes over-segmented, "
          f"{q['under_segmented']} segments under-segmented, {q['unlabelled_share']:.1%} of plane points unlabelled")


if __name__ == "__main__":
    main()
