"""Runs every available method on every benchmark cloud and prints one table.

    python bench/run.py [--quick] [--sizes 100000 1000000] [--scenes room city] [--methods NAME ...]

Generated scenes (with ground truth) run at each size; the real scans of shared/data run at
their own size. Each method runs in a child process of its own, which reports its time and
its peak memory above the loaded cloud. Results go to bench/results/latest.json together
with the machine and library versions. --quick runs the generated scenes at 100k points
and finishes in under two minutes.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from importlib import metadata
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent))

import datasets  # noqa: E402
import methods  # noqa: E402
from planeseg.metrics import plane_metrics, unsupervised_metrics  # noqa: E402


def anon_rss_bytes(pid="self"):
    """Resident anonymous memory (heap and arrays, not code pages, which the kernel may drop
    and fault in again at any time) of a process, or None when it has ended."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        return None
    return None


def child(method, folder):
    """Runs one method on the cloud saved in folder; prints its figures as JSON."""
    fn, kind, needs_open3d, _ = methods.METHODS[method]
    if needs_open3d:
        import open3d  # noqa: F401  (imported before the baseline is taken)
    import quarvo  # noqa: F401
    import tessel  # noqa: F401
    coords = np.load(os.path.join(folder, "coords.npy"))
    params = json.loads(Path(folder, "params.json").read_text())
    fn(coords[:2000], params)  # warm-up: lazy imports and first-use allocations are not the method's
    base = anon_rss_bytes()
    print(json.dumps({"baseline": base}), flush=True)  # the parent samples the peak from here on
    t0 = time.perf_counter()
    result = fn(coords, params)
    seconds = time.perf_counter() - t0
    out = {"seconds": seconds, "baseline": base}
    if kind == "segmenter":
        np.save(os.path.join(folder, "labels.npy"), np.asarray(result, np.int32))
    elif isinstance(result, int):  # a sampled primitive: scale to the whole cloud
        out["seconds_scaled"] = seconds * len(coords) / result
    print(json.dumps(out))


def versions():
    out = {"python": platform.python_version(), "numpy": np.__version__, "cores": os.cpu_count(),
           "machine": platform.machine(), "system": platform.platform()}
    for dist in ("planeseg", "open3d"):
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            out[dist] = None
    try:
        out["commit"] = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=HERE, capture_output=True,
                                       text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        out["commit"] = None
    return out


def run_child(method, cloud, folder, timeout):
    """Runs one method in a child process, sampling its anonymous memory every 10 ms once the
    child has said it is about to start the timed run."""
    out_path, err_path = Path(folder, "stdout.txt"), Path(folder, "stderr.txt")
    with open(out_path, "w") as out, open(err_path, "w") as err:
        proc = subprocess.Popen([sys.executable, __file__, "--child", method, folder], stdout=out, stderr=err)
        start = time.monotonic()
        peak, started = 0, False
        while proc.poll() is None:
            if time.monotonic() - start > timeout:
                proc.kill()
                proc.wait()
                return {"error": f"timeout after {timeout:.0f} s"}
            started = started or '"baseline"' in out_path.read_text()
            rss = anon_rss_bytes(proc.pid)
            if started and rss is not None:
                peak = max(peak, rss)
            time.sleep(0.01)
    stdout = out_path.read_text()
    if proc.returncode != 0:
        return {"error": (err_path.read_text().strip().splitlines() or ["failed"])[-1][:120]}
    row = json.loads(stdout.strip().splitlines()[-1])
    row["peak_bytes"] = max(0, peak - row.pop("baseline"))
    if methods.METHODS[method][1] == "segmenter":
        labels = np.load(os.path.join(folder, "labels.npy"))
        if cloud.truth is not None:
            min_points = json.loads(Path(folder, "params.json").read_text())["min_points"]
            row["quality"] = plane_metrics(cloud.truth, labels, min_segment_points=min_points)
        else:
            min_points = json.loads(Path(folder, "params.json").read_text())["min_points"]
            row["quality"] = unsupervised_metrics(cloud.coords, labels, min_points=min_points)
    return row


def run_one(method, cloud, params, folder, timeout):
    """Runs the method once per seed it asks for; keeps the run with the median quality."""
    runs = []
    for seed in range(methods.METHODS[method][3]):
        Path(folder, "params.json").write_text(json.dumps(dict(params, o3d_seed=seed)))
        row = run_child(method, cloud, folder, timeout)
        if "error" in row:
            return row
        runs.append(row)
    if len(runs) == 1:
        return runs[0]

    def score(r):
        q = r["quality"]
        return (q["f1@0.5"], q["f1@0.8"]) if "f1@0.5" in q else (q["labelled_share"], 0.0)

    runs.sort(key=score)
    chosen = dict(runs[len(runs) // 2])
    chosen["seed_f1_range"] = [score(runs[0])[0], score(runs[-1])[0]]
    return chosen


def fmt_row(r):
    secs = r.get("seconds_scaled", r.get("seconds"))
    head = f"{r['cloud']:<12} {r['points']:>9,} {r['method']:<30}"
    if "error" in r:
        return f"{head} {r['error']}"
    cells = f"{secs:>8.2f} {r['points'] / secs:>11,.0f} {r['peak_bytes'] / 2**20:>8.0f}"
    q = r.get("quality")
    if q is None:
        return f"{head} {cells}"
    if "f1@0.5" in q:
        spread = f" [{r['seed_f1_range'][0]:.2f}-{r['seed_f1_range'][1]:.2f}]" if "seed_f1_range" in r else ""
        return (f"{head} {cells}  F1 {q['f1@0.5']:.2f}/{q['f1@0.8']:.2f}{spread} wIoU {q['weighted_iou']:.2f} "
                f"over {q['over_segmented']} under {q['under_segmented']} "
                f"unlab {q['unlabelled_share']:.1%} ({q['segments']} seg / {q['planes']} planes)")
    return (f"{head} {cells}  {q['segments']} seg, labelled {q['labelled_share']:.1%}, "
            f"RMS {q['rms_plane_dist']:.4f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="generated scenes at 100k points only")
    ap.add_argument("--sizes", type=int, nargs="+", default=None)
    ap.add_argument("--scenes", nargs="+", default=None, help="generated scenes and real clouds to run")
    ap.add_argument("--methods", nargs="+", default=None)
    ap.add_argument("--timeout", type=float, default=None, help="seconds per method run")
    ap.add_argument("--out", default=str(HERE / "results" / "latest.json"))
    ap.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        return child(*args.child)

    sizes = args.sizes or ([100_000] if args.quick else [100_000, 1_000_000])
    names = args.scenes or (list(datasets.scenes.SCENES) + ([] if args.quick else list(datasets.REAL)))
    timeout = args.timeout or (60 if args.quick else 900)
    available = methods.available_methods()
    chosen = [m for m in available if not args.methods or m in args.methods]
    skipped = [m for m in methods.METHODS if m not in available]

    info = versions()
    print(f"machine: {info['cores']} cores {info['machine']}, Python {info['python']}, numpy {info['numpy']}, "
          f"open3d {info['open3d']}, planeseg {info['planeseg']} ({info['commit']})")
    if skipped:
        print(f"skipped (Open3D not installed): {', '.join(skipped)}")
    print(f"{'cloud':<12} {'points':>9} {'method':<30} {'seconds':>8} {'points/s':>11} {'peak MB':>8}  "
          "quality (F1 at IoU 0.5/0.8 [range over seeds])")
    rows = []
    clouds = []
    for name in names:
        if name in datasets.REAL:
            clouds.append(lambda name=name: datasets.real(name))
        else:
            clouds += [lambda name=name, n=n: datasets.synthetic(name, n) for n in sizes]
    for make in clouds:
        cloud = make()
        if cloud is None:
            continue
        params = methods.choose_params(cloud.spacing, cloud.noise, len(cloud.coords))
        with tempfile.TemporaryDirectory() as folder:
            np.save(os.path.join(folder, "coords.npy"), cloud.coords)
            for method in chosen:
                row = {"cloud": cloud.name, "points": len(cloud.coords), "method": method, "params": params}
                row.update(run_one(method, cloud, params, folder, timeout))
                rows.append(row)
                print(fmt_row(row), flush=True)
    out = Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps({"machine": info, "args": vars(args), "rows": rows}, indent=1))
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
