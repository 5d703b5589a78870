"""Runs each module's main call on one large generated room and records time and peak memory.

    python bench/bench_large.py [--points 20000000] [--calls tessel quarvo mendolin features]

Each call runs in a child process of its own on the same cloud (written once to a temporary
.npy); the parent samples the child's resident anonymous memory every 10 ms from the moment
the cloud is loaded, and reports the peak above that baseline in bytes per point. Writes
bench/results/large.json.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent))
from planeseg.scenes import room  # noqa: E402
from run import anon_rss_bytes as anon_rss  # noqa: E402

CHILD = r"""
import json, sys, time, numpy as np
import features, mendolin, quarvo, tessel
folder, call = sys.argv[1], sys.argv[2]
coords = np.load(folder + "/coords.npy")
labels = np.load(folder + "/pieces.npy") if call == "mendolin" else None
spacing = float(open(folder + "/spacing.txt").read())
print("loaded", flush=True)
t0 = time.perf_counter()
if call == "tessel":
    out = tessel.segment_planar_regions(coords, params={"epsilon": max(spacing, 0.009),
                                                        "neighbor_radius": 4 * spacing, "seed": 1})
    summary = {"regions": out[1]["num_regions_post_merge"]}
elif call == "quarvo":
    out = quarvo.segment_planes(coords, params={"epsilon": 0.009, "cluster_epsilon": (2.5 * spacing) ** 2,
                                                "min_points": 4000, "seed": 0})
    summary = {"planes": out[1]["num_planes"]}
elif call == "mendolin":
    out = mendolin.merge_planar_regions(coords, labels, {"neighbor_radius": 2 * spacing})
    summary = {"regions_in": out[1]["num_input_regions"], "regions_out": out[1]["num_output_regions"]}
else:
    r = 3 * spacing
    out = features.compute_pcd_features(r, r, coords, features.compute_voxel_hash(coords, 1 / r))
    summary = {}
print(json.dumps({"seconds": time.perf_counter() - t0, **summary}), flush=True)
"""


def run(folder, call):
    out_path = Path(folder, f"{call}.out")
    with open(out_path, "w") as out:
        proc = subprocess.Popen([sys.executable, "-c", CHILD, folder, call], stdout=out,
                                stderr=subprocess.DEVNULL)
        base, peak = None, 0
        while proc.poll() is None:
            rss = anon_rss(proc.pid)
            if base is None and "loaded" in out_path.read_text():
                base = rss
            if base is not None and rss is not None:
                peak = max(peak, rss)
            time.sleep(0.01)
    lines = out_path.read_text().splitlines()
    if proc.returncode != 0 or len(lines) < 2:
        return {"error": f"exit status {proc.returncode}"}
    row = json.loads(lines[-1])
    row["peak_bytes_above_cloud"] = max(0, peak - (base or 0))
    return row


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--points", type=int, default=20_000_000)
    ap.add_argument("--calls", nargs="+", default=["tessel", "quarvo", "mendolin", "features"])
    args = ap.parse_args()
    scene = room(args.points, noise=0.003, seed=2)
    coords = scene.coords.astype(np.float32)
    cell = 1.0  # pieces of about 1 m of each plane for the merge
    keys = np.floor(coords / cell).astype(np.int64) @ np.array([1, 1000, 1000000])
    pieces = np.unique(scene.labels.astype(np.int64) * 10**9 + keys, return_inverse=True)[1].astype(np.int32)
    pieces[scene.labels < 0] = -1
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        np.save(os.path.join(folder, "coords.npy"), coords)
        np.save(os.path.join(folder, "pieces.npy"), pieces)
        Path(folder, "spacing.txt").write_text(str(scene.spacing))
        del scene, pieces
        print(f"{args.points:,} points, spacing {Path(folder, 'spacing.txt').read_text()[:6]}")
        for call in args.calls:
            row = {"call": call, "points": args.points, **run(folder, call)}
            rows.append(row)
            if "error" in row:
                print(f"{call:<9} {row['error']}", flush=True)
                continue
            extra = {k: v for k, v in row.items() if k not in ("call", "points", "seconds", "peak_bytes_above_cloud")}
            print(f"{call:<9} {row['seconds']:8.1f} s  {row['peak_bytes_above_cloud'] / args.points:6.1f} bytes/point"
                  f"  {extra}", flush=True)
    out = HERE / "results" / "large.json"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps({"rows": rows}, indent=1))
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
