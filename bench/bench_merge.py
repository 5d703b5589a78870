"""Times mendolin.merge_planar_regions on an over-segmented room and scores the merge.

    python bench/bench_merge.py [--points 1000000] [--pieces 300] [--radius 0.03]

The room's ground-truth planes are cut into about --pieces pieces along a grid; the merge
should give the planes back. Prints the time of each stage (read from the progress object
by a polling thread), the total, the bare loop of one radius query per point with the same
radius (kernel_bench, spatial order), and the quality before and after.
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

import mendolin  # noqa: E402
from planeseg.metrics import plane_metrics  # noqa: E402
from planeseg.scenes import room  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--points", type=int, default=1_000_000)
    ap.add_argument("--pieces", type=int, default=300)
    ap.add_argument("--radius", type=float, default=0.03)
    args = ap.parse_args()
    scene = room(args.points, noise=0.003, seed=2)
    coords = scene.coords.astype(np.float32)
    cell = np.sqrt(190.0 / args.pieces)  # about 190 m^2 of faces
    keys = np.floor(coords / cell).astype(np.int64) @ np.array([1, 1000, 1000000])
    pieces = np.unique(scene.labels.astype(np.int64) * 10**9 + keys, return_inverse=True)[1].astype(np.int32)
    pieces[scene.labels < 0] = -1

    progress = mendolin.Progress()
    marks, stop = [], threading.Event()

    def poll():
        last = None
        while not stop.is_set():
            stage = progress.stage()
            if stage != last:
                marks.append((time.perf_counter(), stage))
                last = stage
            time.sleep(0.0005)

    poller = threading.Thread(target=poll)
    poller.start()
    t0 = time.perf_counter()
    merged, stats = mendolin.merge_planar_regions(coords, pieces, {"neighbor_radius": args.radius}, progress)
    total = time.perf_counter() - t0
    time.sleep(0.01)
    stop.set()
    poller.join()
    stages = [(b[1], c[0] - b[0]) for b, c in zip(marks, marks[1:]) if b[1] not in ("Idle", "Done")]

    found = sorted(glob.glob(str(HERE.parent / "build" / "*" / "bench" / "kernel_bench")))
    bare = None
    if found:
        with tempfile.TemporaryDirectory() as tmp:
            raw = os.path.join(tmp, "cloud.f32")
            coords.tofile(raw)
            bare = json.loads(subprocess.run([found[-1], raw, str(args.radius ** 2), "1"], check=True,
                                             capture_output=True, text=True).stdout)

    before = plane_metrics(scene.labels, pieces, min_segment_points=200)
    after = plane_metrics(scene.labels, merged, min_segment_points=200)
    print(f"{args.points:,} points, {stats['num_input_regions']} input regions -> {stats['num_output_regions']} "
          f"output regions ({stats['num_planar_regions']} planar, {stats['num_adjacency_pairs']} touching pairs, "
          f"{stats['num_merge_candidates']} merges), radius {args.radius}")
    for name, seconds in stages:
        print(f"  {name:<40} {seconds:7.3f} s")
    print(f"  total {total:.3f} s (elapsed_seconds {stats['elapsed_seconds']:.3f})")
    if bare:
        print(f"  bare radius-query loop {bare['radius_query_loop_s']:.3f} s ({bare['mean_neighbours']:.1f} neighbours):"
              f" merge / bare = {total / bare['radius_query_loop_s']:.2f} (target <= 1.5)")
    print(f"  before: F1 {before['f1@0.5']:.2f}/{before['f1@0.8']:.2f}, over-segmented {before['over_segmented']}")
    print(f"  after:  F1 {after['f1@0.5']:.2f}/{after['f1@0.8']:.2f}, over-segmented {after['over_segmented']}, "
          f"under-segmented {after['under_segmented']} (target F1 >= 0.95)")


if __name__ == "__main__":
    main()
