"""Sweeps the Open3D peers' parameters on the generated scenes and prints F1 at IoU 0.5 and
0.8 for each setting, so that the rules in methods.choose_params can be checked.

    python bench/tune_peers.py [--points 100000] [--scenes room city]
"""

from __future__ import annotations

import argparse
import itertools
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent))

import datasets  # noqa: E402
import methods  # noqa: E402
from planeseg.metrics import plane_metrics  # noqa: E402

SWEEPS = {
    "o3d segment_plane+dbscan": (methods.o3d_segment_plane, {
        "o3d_distance": ("spacing", [0.25, 0.5, 1.0]),
        "o3d_cluster_eps": ("spacing", [1.5, 2.5, 4.0]),
    }),
    "o3d planar_patches": (methods.o3d_planar_patches, {
        "patch_normal_radius": ("spacing", [3.0, 5.0]),
        "patch_normal_variance_deg": ("value", [30, 60]),
        "patch_coplanarity_deg": ("value", [75, 85]),
        "patch_knn": ("value", [30, 60]),
    }),
}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--points", type=int, default=100_000)
    ap.add_argument("--scenes", nargs="+", default=["room", "city"])
    args = ap.parse_args()
    for scene in args.scenes:
        cloud = datasets.synthetic(scene, args.points)
        base = methods.choose_params(cloud.spacing, cloud.noise, len(cloud.coords))
        print(f"{scene} {args.points:,} points, spacing {cloud.spacing:.4f}, noise {cloud.noise}")
        for name, (fn, grid) in SWEEPS.items():
            keys = list(grid)
            for combo in itertools.product(*(grid[k][1] for k in keys)):
                p = dict(base)
                for k, v in zip(keys, combo):
                    p[k] = v * cloud.spacing if grid[k][0] == "spacing" else v
                t0 = time.perf_counter()
                q = plane_metrics(cloud.truth, fn(cloud.coords, p))
                setting = ", ".join(f"{k}={'%gs' % v if grid[k][0] == 'spacing' else v}" for k, v in zip(keys, combo))
                print(f"  {name:<26} {setting:<80} F1 {q['f1@0.5']:.2f}/{q['f1@0.8']:.2f} "
                      f"wIoU {q['weighted_iou']:.2f} {time.perf_counter() - t0:6.1f} s", flush=True)


if __name__ == "__main__":
    main()
