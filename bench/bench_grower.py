"""Times the geometry kernel and SeededGrower on a generated plane-rich cloud.

    python bench/bench_grower.py [--points 1000000] [--epsilon 0.015] [--neighbor-radius 0.055] [--repeats 3]

Prints the KD-tree build, the bare loop of one radius query per point, normal estimation
(from the C++ kernel_bench built by ./dev.sh), SeededGrower construction (index plus
normals) and grow of the largest plane, each with points per second; the ratio normals /
bare query loop; and the peak memory per point of construction plus grow, measured in a
child process. Writes the figures as JSON to bench/results/grower.json.
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import platform
import resource
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



def maxrss_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def child(args):
    """Runs in a fresh process: construction and one grow, with peak memory around them."""
    import tessel

    # The parent wrote the cloud, so the baseline holds just it and not the generator's temporaries.
    coords = np.load(os.path.join(args.child, "coords.npy"))
    truth = np.load(os.path.join(args.child, "truth.npy"))
    largest = int(np.bincount(truth).argmax())
    seed = int(np.flatnonzero(truth == largest)[len(coords) // 1000])
    base = maxrss_bytes()
    params = {"epsilon": args.epsilon, "neighbor_radius": args.neighbor_radius}
    t0 = time.perf_counter()
    g = tessel.SeededGrower(coords, params=params)
    construct = time.perf_counter() - t0
    grows = []
    for _ in range(args.repeats):
        t0 = time.perf_counter()
        members, info = g.grow(seed)
        grows.append(time.perf_counter() - t0)
    peak = maxrss_bytes()
    print(json.dumps({
        "construct_s": construct, "grow_s": statistics.median(grows), "grown_points": info["num_points"],
        "true_plane_points": int((truth == largest).sum()), "rss_before": base, "rss_peak": peak,
    }))


def kernel_bench_binary():
    found = sorted(glob.glob(str(HERE.parent / "build" / "*" / "bench" / "kernel_bench")))
    if not found:
        sys.exit("kernel_bench not built: run ./dev.sh build first")
    return found[-1]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--points", type=int, default=1_000_000)
    ap.add_argument("--epsilon", type=float, default=0.015, help="plane tolerance basis and voxel side basis")
    ap.add_argument("--neighbor-radius", type=float, default=0.055, help="radius of every neighbour query")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        return child(args)

    scene = room(args.points, noise=0.002, seed=3)
    coords, truth = np.ascontiguousarray(scene.coords, dtype=np.float32), scene.labels
    with tempfile.TemporaryDirectory() as tmp:
        raw = os.path.join(tmp, "cloud.f32")
        coords.tofile(raw)
        out = subprocess.run([kernel_bench_binary(), raw, str(args.neighbor_radius ** 2), str(args.repeats)],
                             check=True, capture_output=True, text=True).stdout
        kernel = json.loads(out)
        np.save(os.path.join(tmp, "coords.npy"), coords)
        np.save(os.path.join(tmp, "truth.npy"), truth)
        out = subprocess.run([sys.executable, __file__, "--child", tmp, "--points", str(args.points),
                              "--epsilon", str(args.epsilon), "--neighbor-radius", str(args.neighbor_radius),
                              "--repeats", str(args.repeats)],
                             check=True, capture_output=True, text=True).stdout
    grower = json.loads(out)

    n = args.points
    rows = [
        ("KD-tree build", kernel["kdtree_build_s"], n),
        ("radius query loop (bare)", kernel["radius_query_loop_s"], n),
        ("normal estimation", kernel["normals_s"], n),
        ("SeededGrower construction", grower["construct_s"], n),
        ("grow of the largest plane", grower["grow_s"], grower["grown_points"]),
    ]
    print(f"cloud: {n:,} points (8 x 6 x 3 m room), epsilon {args.epsilon}, neighbour radius "
          f"{args.neighbor_radius}, {kernel['mean_neighbours']:.1f} neighbours per query, "
          f"{os.cpu_count()} cores, Python {platform.python_version()}")
    print(f"{'step':<28} {'seconds':>9} {'points/s':>12}")
    for name, seconds, points in rows:
        print(f"{name:<28} {seconds:>9.3f} {points / seconds:>12,.0f}")
    ratio = kernel["normals_s"] / kernel["radius_query_loop_s"]
    peak_per_point = (grower["rss_peak"] - grower["rss_before"]) / n
    print(f"normals / bare query loop: {ratio:.2f}x (target <= 1.3)")
    print(f"grown {grower['grown_points']:,} of {grower['true_plane_points']:,} points of the largest plane")
    print(f"peak memory of construction + grow: {peak_per_point:.0f} bytes per point above the loaded cloud "
          f"(target <= 200); whole process {grower['rss_peak'] / n:.0f} bytes per point")
    results = HERE / "results"
    results.mkdir(exist_ok=True)
    (results / "grower.json").write_text(json.dumps({
        "args": vars(args), "cores": os.cpu_count(), "kernel": kernel, "grower": grower,
        "normals_over_query_loop": ratio, "peak_bytes_per_point": peak_per_point}, indent=2))


if __name__ == "__main__":
    main()
