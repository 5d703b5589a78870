"""Grows planar regions on a generated room and prints what it found.

    python -m planeseg.demo [--points N] [--noise SIGMA] [--seed S]
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import tessel
from planeseg.scenes import box_room


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

    coords, truth = box_room(args.points, noise=args.noise, seed=args.seed)
    params = {"epsilon": 0.03, "tau": 500}
    t0 = time.perf_counter()
    grower = tessel.SeededGrower(coords, params=params)
    t_build = time.perf_counter() - t0
    print(f"room of {len(coords):,} points, {truth.max() + 1} true planes; "
          f"index and normals built in {t_build:.2f} s")

    labels = np.full(len(coords), -1, np.int32)
    rng = np.random.default_rng(args.seed)
    failures = 0
    t0 = time.perf_counter()
    for seed in rng.permutation(len(coords)):
        if failures >= 50:
            break
        if labels[seed] >= 0:
            continue
        members, info = grower.grow(int(seed))
        members = members[labels[members] < 0]
        if not info["accepted"] or len(members) < params["tau"]:
            failures += 1
            continue
        labels[members] = labels.max() + 1
        failures = 0
    t_grow = time.perf_counter() - t0

    print(f"{labels.max() + 1} regions grown in {t_grow:.2f} s, "
          f"{np.mean(labels >= 0):.1%} of points labelled")
    print(f"{'region':>6} {'points':>8} {'normal':>24} {'rms (mm)':>9} {'true plane':>11}")
    for region in range(labels.max() + 1):
        pts = coords[labels == region]
        centroid, normal = plane_of(pts)
        rms = np.sqrt(np.mean(((pts - centroid) @ normal) ** 2)) * 1000
        majority = np.bincount(truth[labels == region]).argmax()
        n = normal * np.sign(normal[np.argmax(np.abs(normal))])
        print(f"{region:>6} {len(pts):>8,} {np.array2string(n, precision=3, suppress_small=True):>24} "
              f"{rms:>9.2f} {majority:>11}")


if __name__ == "__main__":
    main()
