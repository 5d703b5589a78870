"""The planeseg command: files in, labelled files and pictures out.

    planeseg segment IN -o OUT.ply|OUT.npy [--method tessel|quarvo] [--param key=value ...] [--estimate] [--png FILE]
    planeseg merge IN LABELS.npy -o OUT.ply|OUT.npy [--param key=value ...] [--png FILE]
    planeseg features IN --radius R [--voxel-size S] -o OUT.npz
    planeseg demo [--folder DIR] [--points N]

Every command re-centres the cloud on a local origin in float64 before the modules' float32
cast and writes coordinates back in the file's own frame. Ctrl-C asks the running call to
stop: quarvo, mendolin and features stop at their next check and the partial result is
written (exit status 130); tessel completes its run and reports the request.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

from planeseg.io import PointFileError, read_labels, read_points, recentre, write_labelled_ply, write_labels
from planeseg.progress import run_with_progress

GROW_KEYS = {"epsilon", "refit_multiplier", "epsilon_multiplier", "epsilon_multiplier_average",
             "search_radius_approx", "tau", "first_refit", "alpha_deg", "confidence", "max_dist_from_cent",
             "oriented_normals", "verbose", "perform_cca", "enable_seed_gating", "seed_min_neighbors",
             "seed_planarity_min", "seed_scattering_max", "failrate_window", "failrate_threshold",
             "neighbor_radius", "seed", "num_threads", "local_reassign_enabled", "global_reassign_enabled",
             "refine_unassigned"}
CHUNKING_KEYS = {"enabled", "mode", "target_points_per_chunk", "chunk_x", "chunk_y", "chunk_z", "overlap_factor"}
TESSEL_MERGE_KEYS = {"enabled", "angle_deg", "distance_factor"}
QUARVO_KEYS = {"epsilon", "min_points", "normal_threshold_deg", "cluster_epsilon", "probability",
               "max_iterations_per_plane", "seed"}
MENDOLIN_KEYS = {"neighbor_radius", "min_contact_points", "planarity_threshold", "normal_angle_deg",
                 "plane_distance_threshold", "min_region_size"}
EXIT_ERROR, EXIT_CANCELLED = 1, 130


class CommandError(ValueError):
    """Bad input found by the command itself; printed as one line."""


def warn(text):
    print(f"planeseg: warning: {text}", file=sys.stderr)


def parse_value(text):
    """'true'/'false' become bools, then ints, then floats; anything else stays a string."""
    low = text.strip().lower()
    if low in ("true", "false"):
        return low == "true"
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def parse_params(pairs, groups):
    """key=value pairs into one dict per group. groups maps a prefix ("" for the top level,
    "chunking." for a nested dictionary) to its known keys; unknown keys are warned about and
    left out (the modules would ignore them)."""
    out = {prefix: {} for prefix in groups}
    for pair in pairs or []:
        key, sep, value = pair.partition("=")
        key = key.strip()
        if not sep or not key:
            raise CommandError(f"--param {pair!r}: expected key=value")
        prefix, name = "", key
        if "." in key:
            prefix, name = key.split(".", 1)[0] + ".", key.split(".", 1)[1]
        if prefix not in groups or name not in groups[prefix]:
            known = sorted(p + k for p, keys in groups.items() for k in keys)
            warn(f"unknown parameter {key!r} ignored (known: {', '.join(known)})")
            continue
        out[prefix][name] = parse_value(value)
    return out


def output_kind(path, allowed):
    suffix = Path(path).suffix.lower()
    if suffix not in allowed:
        raise CommandError(f"{path}: output must end in {' or '.join(allowed)}")
    if not Path(path).resolve().parent.is_dir():
        raise CommandError(f"{path}: the folder {Path(path).parent} does not exist")
    return suffix


def write_labelled(path, coords64, labels):
    if Path(path).suffix.lower() == ".ply":
        write_labelled_ply(path, coords64, labels)
    else:
        write_labels(path, labels)


def load_cloud(path):
    coords64, normals = read_points(path)
    local, origin = recentre(coords64)
    if np.abs(origin).max() > 1e4:
        print(f"re-centred on ({origin[0]:.3f}, {origin[1]:.3f}, {origin[2]:.3f}) for float32 precision",
              file=sys.stderr)
    return coords64, local, None if normals is None else normals.astype(np.float32)


def summary(labels, seconds):
    regions = len(np.unique(labels[labels >= 0]))
    return f"{len(labels):,} points, {regions} regions, {int((labels < 0).sum()):,} unlabelled, {seconds:.2f} s"


def run_segment(args):
    import quarvo
    import tessel

    output_kind(args.output, (".ply", ".npy"))
    if args.png:
        output_kind(args.png, (".png",))
    if args.estimate and args.method != "tessel":
        raise CommandError("--estimate proposes tessel parameters: use it with --method tessel")
    coords64, local, normals = load_cloud(args.input)
    if args.normals == "file" and normals is None:
        raise CommandError(f"{args.input}: --normals file, but the file has no normals")
    normal_mode = "use_provided" if args.normals == "file" else "compute"
    if normal_mode == "compute":
        normals = None

    t0 = time.perf_counter()
    if args.method == "tessel":
        groups = parse_params(args.param, {"": GROW_KEYS, "chunking.": CHUNKING_KEYS, "merge.": TESSEL_MERGE_KEYS})
        params = groups[""]
        if args.estimate:
            epsilon, tau, alpha_deg, info = tessel.estimate_parameters(local)
            print(f"estimate_parameters: epsilon {epsilon:.6g}, tau {tau}, alpha_deg {alpha_deg:.3g} "
                  f"(sample {info['sample_size_used']}, base spacing {info['base_spacing']:.4g})")
            params = {"epsilon": epsilon, "tau": tau, "alpha_deg": alpha_deg, **params}
        progress = tessel.Progress()
        (labels, stats), cancelled = run_with_progress(
            lambda: tessel.segment_planar_regions(local, normals, normal_mode, params, groups["chunking."],
                                                  groups["merge."], progress),
            progress, "tessel", args.quiet,
            on_cancel=lambda: print("\nplaneseg: tessel cannot stop early: the run completes and reports the "
                                    "request", file=sys.stderr))
    else:
        params = parse_params(args.param, {"": QUARVO_KEYS})[""]
        progress = quarvo.Progress()
        (labels, stats), cancelled = run_with_progress(
            lambda: quarvo.segment_planes(local, normals, normal_mode, params, progress), progress, "quarvo",
            args.quiet, on_cancel=lambda: print("\nplaneseg: stopping at the next check; the planes found so far "
                                                "are written", file=sys.stderr))
    seconds = time.perf_counter() - t0
    write_labelled(args.output, coords64, labels)
    if args.png:
        from planeseg.render import render_png

        render_png(args.png, coords64, labels, title=f"{Path(args.input).name}: {args.method}")
    print(f"{args.method}: {summary(labels, seconds)}; wrote {args.output}" + (f" and {args.png}" if args.png else ""))
    if cancelled and args.method == "quarvo":
        print("cancelled: the labels hold the planes found before the request", file=sys.stderr)
        return EXIT_CANCELLED
    if cancelled:
        print("cancel requested: tessel ran to completion (stats report cancelled: "
              f"{stats.get('cancelled')})", file=sys.stderr)
    return 0


def run_merge(args):
    import mendolin

    output_kind(args.output, (".ply", ".npy"))
    if args.png:
        output_kind(args.png, (".png",))
    params = parse_params(args.param, {"": MENDOLIN_KEYS})[""]
    coords64, local, _ = load_cloud(args.input)
    labels = read_labels(args.labels, len(local))
    progress = mendolin.Progress()
    t0 = time.perf_counter()
    (merged, stats), cancelled = run_with_progress(
        lambda: mendolin.merge_planar_regions(local, labels, params, progress), progress, "mendolin", args.quiet,
        on_cancel=lambda: print("\nplaneseg: stopping at the next check; the input labels are written",
                                file=sys.stderr))
    seconds = time.perf_counter() - t0
    write_labelled(args.output, coords64, merged)
    if args.png:
        from planeseg.render import render_png

        render_png(args.png, coords64, merged, title=f"{Path(args.input).name}: merged")
    print(f"mendolin: {stats['num_input_regions']} regions in, {stats['num_output_regions']} out; "
          f"{summary(merged, seconds)}; wrote {args.output}")
    return EXIT_CANCELLED if cancelled or stats["cancelled"] else 0


def run_features(args):
    import features

    output_kind(args.output, (".npz",))
    if not args.radius > 0:
        raise CommandError(f"--radius must be positive, got {args.radius}")
    voxel_size = args.voxel_size if args.voxel_size is not None else args.radius
    if not voxel_size > 0:
        raise CommandError(f"--voxel-size must be positive, got {voxel_size}")
    _, local, _ = load_cloud(args.input)
    progress = features.Progress()
    t0 = time.perf_counter()

    def call():
        index = features.compute_voxel_hash(local, 1.0 / voxel_size)
        return features.compute_pcd_features(args.radius, voxel_size, local, index, progress)

    (eigenvalues, normals), cancelled = run_with_progress(
        call, progress, "features", args.quiet,
        on_cancel=lambda: print("\nplaneseg: stopping; rows not computed are NaN", file=sys.stderr))
    np.savez(args.output, eigenvalues=eigenvalues, normals=normals)
    skipped = int(np.isnan(eigenvalues).any(axis=1).sum())
    print(f"features: {len(local):,} points, radius {args.radius:g}, voxel {voxel_size:g}, "
          f"{time.perf_counter() - t0:.2f} s; {skipped:,} NaN rows; wrote {args.output}")
    return EXIT_CANCELLED if cancelled else 0


def run_demo(args):
    from planeseg.demo import run

    return run(Path(args.folder), points=args.points, quiet=args.quiet)


def build_parser():
    ap = argparse.ArgumentParser(prog="planeseg", description="Planar segmentation of point cloud files.",
                                 epilog="Run 'planeseg COMMAND --help' for a command's options.")
    sub = ap.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def common(p):
        p.add_argument("--quiet", action="store_true", help="no progress bar")

    seg = sub.add_parser("segment", help="label every point with its plane")
    seg.add_argument("input", help="point file: .ply .las .laz .pcd .xyz .txt .csv .npy .npz")
    seg.add_argument("-o", "--output", required=True, help="labelled .ply (coordinates, label, colour) or labels .npy")
    seg.add_argument("--method", choices=("tessel", "quarvo"), default="tessel")
    seg.add_argument("--param", action="append", metavar="KEY=VALUE",
                     help="a parameter of the method (repeatable); tessel takes chunking.KEY and merge.KEY too")
    seg.add_argument("--estimate", action="store_true", help="propose epsilon, tau and alpha_deg first (tessel)")
    seg.add_argument("--normals", choices=("compute", "file"), default="compute",
                     help="estimate normals (default) or use the file's")
    seg.add_argument("--png", help="also render the labelled cloud to this PNG")
    common(seg)
    seg.set_defaults(run=run_segment)

    mer = sub.add_parser("merge", help="merge an over-segmentation into planar regions")
    mer.add_argument("input", help="point file")
    mer.add_argument("labels", help="labels .npy (or text, one per line), one per point")
    mer.add_argument("-o", "--output", required=True, help="labelled .ply or labels .npy")
    mer.add_argument("--param", action="append", metavar="KEY=VALUE", help="a mendolin parameter (repeatable)")
    mer.add_argument("--png", help="also render the merged labels to this PNG")
    common(mer)
    mer.set_defaults(run=run_merge)

    fea = sub.add_parser("features", help="per-point eigenvalues and normals")
    fea.add_argument("input", help="point file")
    fea.add_argument("--radius", type=float, required=True, help="neighbourhood radius (file units)")
    fea.add_argument("--voxel-size", type=float, default=None, help="voxel edge (default: the radius)")
    fea.add_argument("-o", "--output", required=True, help=".npz with eigenvalues and normals")
    common(fea)
    fea.set_defaults(run=run_features)

    demo = sub.add_parser("demo", help="segment a generated room with both methods and write the results")
    demo.add_argument("--folder", default="planeseg-demo", help="where to write (default: ./planeseg-demo)")
    demo.add_argument("--points", type=int, default=1_000_000)
    common(demo)
    demo.set_defaults(run=run_demo)
    return ap


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except (FileNotFoundError, PointFileError, CommandError) as e:
        print(f"planeseg: error: {e}", file=sys.stderr)
    except (RuntimeError, TypeError) as e:  # the modules' argument and parameter errors
        print(f"planeseg: error: {str(e).splitlines()[0] if str(e) else type(e).__name__}", file=sys.stderr)
    except MemoryError:
        print("planeseg: error: out of memory", file=sys.stderr)
    except OSError as e:
        print(f"planeseg: error: {e.strerror or e}: {e.filename or ''}".rstrip(": "), file=sys.stderr)
    except KeyboardInterrupt:
        print("planeseg: interrupted", file=sys.stderr)
        return EXIT_CANCELLED
    return EXIT_ERROR


if __name__ == "__main__":
    sys.exit(main())
