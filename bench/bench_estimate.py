"""Times tessel.estimate_parameters and checks what its proposals give segment_planar_regions.

    python bench/bench_estimate.py [--sizes 1000000 4000000] [--sample-size 50000]

For each size: the estimate's time and proposals on the room scene, then the F1 at IoU 0.5
(and 0.8) of segment_planar_regions with the proposals against the hand-tuned parameters
of bench/methods.py (epsilon max(s, 3 noise) and neighbor_radius 4 s).
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent))

import datasets  # noqa: E402
import methods  # noqa: E402
import tessel  # noqa: E402
from planeseg.metrics import plane_metrics  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[1_000_000, 4_000_000])
    ap.add_argument("--sample-size", type=int, default=50_000)
    ap.add_argument("--scene", default="room")
    args = ap.parse_args()
    rows = []
    for n in args.sizes:
        cloud = datasets.synthetic(args.scene, n)
        t0 = time.perf_counter()
        eps, tau, alpha, stats = tessel.estimate_parameters(cloud.coords, args.sample_size, 0)
        seconds = time.perf_counter() - t0
        hand = methods.choose_params(cloud.spacing, cloud.noise, n)
        runs = {
            "proposed": {"epsilon": eps, "tau": tau, "alpha_deg": alpha, "seed": 0},
            "hand-tuned": {"epsilon": hand["seg_epsilon"], "neighbor_radius": hand["seg_neighbor_radius"],
                           "tau": hand["min_points"], "seed": 0},
        }
        for name, params in runs.items():
            t1 = time.perf_counter()
            labels, _ = tessel.segment_planar_regions(cloud.coords, params=params)
            q = plane_metrics(cloud.truth, labels, min_segment_points=hand["min_points"])
            rows.append({"points": n, "estimate_s": seconds, "stats": stats, "run": name, "params": params,
                         "segment_s": time.perf_counter() - t1, "f1@0.5": q["f1@0.5"], "f1@0.8": q["f1@0.8"]})
    print(f"{'points':>9} {'estimate s':>10}  {'run':<10} {'segment s':>9} {'F1@0.5':>7} {'F1@0.8':>7}  params")
    for r in rows:
        p = {k: round(v, 5) if isinstance(v, float) else v for k, v in r["params"].items()}
        print(f"{r['points']:>9,} {r['estimate_s']:>10.2f}  {r['run']:<10} {r['segment_s']:>9.2f} "
              f"{r['f1@0.5']:>7.2f} {r['f1@0.8']:>7.2f}  {p}")
    print("spacing from the estimate:", {r["points"]: round(r["stats"]["base_spacing"], 5) for r in rows})
    (HERE / "results").mkdir(exist_ok=True)
    (HERE / "results" / "estimate.json").write_text(json.dumps(rows, indent=1))


if __name__ == "__main__":
    main()
