"""Times the features module against Open3D's radius normals and a bare search loop.

    python bench/bench_features.py [--sizes 1000000 4000000] [--neighbours 10 40] [--repeats 3]

On a generated room of each size, for radii chosen to give about each number of neighbours
per point (voxel size = radius): compute_voxel_hash, compute_pcd_features with 1 and 2
OpenMP threads, Open3D's estimate_normals with the same radius (all its threads), and the
bare loop of one voxel_radius_search per point (features_bench, C++, 1 and 2 threads). Every
figure is the median of --repeats runs in a child process of its own. Writes
bench/results/features.json.
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
from planeseg.scenes import room  # noqa: E402


def child(kind, folder, radius, repeats):
    """Runs in a fresh process (so that OMP_NUM_THREADS applies); prints median seconds."""
    coords = np.load(os.path.join(folder, "coords.npy"))
    times = []
    if kind == "o3d":
        import open3d as o3d

        pcd = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(coords.astype(np.float64)))
        for _ in range(repeats):
            pcd.normals = o3d.utility.Vector3dVector()
            t0 = time.perf_counter()
            pcd.estimate_normals(o3d.geometry.KDTreeSearchParamRadius(radius))
            times.append(time.perf_counter() - t0)
        print(json.dumps({"seconds": statistics.median(times)}))
        return
    import features

    hashes = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        h = features.compute_voxel_hash(coords, 1 / radius)
        hashes.append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        features.compute_pcd_features(radius, radius, coords, h)
        times.append(time.perf_counter() - t0)
    print(json.dumps({"seconds": statistics.median(times), "hash_seconds": statistics.median(hashes),
                      "cells": len(h)}))


def run(args, threads=None):
    env = dict(os.environ)
    if threads:
        env["OMP_NUM_THREADS"] = str(threads)
    out = subprocess.run(args, env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def features_bench_binary():
    found = sorted(glob.glob(str(HERE.parent / "build" / "*" / "bench" / "features_bench")))
    if not found:
        sys.exit("features_bench not built: run ./dev.sh build first")
    return found[-1]


def have_open3d():
    import importlib.util

    return importlib.util.find_spec("open3d") is not None


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[1_000_000, 4_000_000])
    ap.add_argument("--neighbours", type=float, nargs="+", default=[10, 40])
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        return child(args.child[0], args.child[1], float(args.child[2]), args.repeats)

    binary = features_bench_binary()
    o3d = have_open3d()
    rows = []
    print(f"{'points':>9} {'radius':>7} {'nbrs':>5} {'hash':>6} {'feat 1T':>7} {'feat 2T':>7} {'2T/1T':>5} "
          f"{'bare 1T':>7} {'bare 2T':>7} {'feat/bare':>9} {'o3d':>6} {'o3d/feat':>8}")
    for n in args.sizes:
        scene = room(n, noise=0.003, clutter=0.02, seed=0)
        coords = scene.coords.astype(np.float32)
        with tempfile.TemporaryDirectory() as folder:
            np.save(os.path.join(folder, "coords.npy"), coords)
            raw = os.path.join(folder, "coords.f32")
            coords.tofile(raw)
            for k in args.neighbours:
                radius = float(scene.spacing * np.sqrt(k / np.pi))
                me = [sys.executable, __file__, "--repeats", str(args.repeats), "--child"]
                f1 = run(me + ["features", folder, str(radius)], threads=1)
                f2 = run(me + ["features", folder, str(radius)], threads=2)
                b1 = run([binary, raw, str(radius), str(radius), str(args.repeats)], threads=1)
                b2 = run([binary, raw, str(radius), str(radius), str(args.repeats)], threads=2)
                o = run(me + ["o3d", folder, str(radius)]) if o3d else None
                row = {"points": n, "radius": radius, "mean_neighbours": b1["mean_neighbours"],
                       "cells": f2["cells"], "hash_s": f2["hash_seconds"], "features_1t_s": f1["seconds"],
                       "features_2t_s": f2["seconds"], "bare_loop_1t_s": b1["bare_loop_s"],
                       "bare_loop_2t_s": b2["bare_loop_s"], "bare_loop_ordered_2t_s": b2["bare_loop_ordered_s"],
                       "o3d_radius_normals_s": o["seconds"] if o else None}
                rows.append(row)
                o3d_cells = (f"{o['seconds']:>6.2f} {o['seconds'] / f2['seconds']:>7.1f}x" if o else
                             f"{'-':>6} {'-':>8}")
                print(f"{n:>9,} {radius:>7.4f} {b1['mean_neighbours']:>5.1f} {f2['hash_seconds']:>6.2f} "
                      f"{f1['seconds']:>7.2f} {f2['seconds']:>7.2f} {f1['seconds'] / f2['seconds']:>4.2f}x "
                      f"{b1['bare_loop_s']:>7.2f} {b2['bare_loop_s']:>7.2f} "
                      f"{f2['seconds'] / b2['bare_loop_s']:>8.2f}x {o3d_cells}", flush=True)
    out = HERE / "results" / "features.json"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps({"rows": rows}, indent=1))
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
