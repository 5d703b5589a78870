"""The methods the benchmark runs, each a function (coords float32 (N,3), params) -> labels or
None (for primitives that only take time). Peers import Open3D lazily and are listed only
when it imports. Parameters come from the scene's point spacing and noise by the rules in
`choose_params`, the same rules for every scene, written down so the tuning can be judged.
"""

from __future__ import annotations

import importlib.util

import numpy as np


def choose_params(spacing: float, noise: float, points: int) -> dict:
    """Per-scene parameters from the typical point spacing and the noise along the normal.

    - min_points: smallest plane worth reporting, max(80, points / 5000);
    - Open3D segment_plane: distance threshold max(3 noise, 0.5 s), 1000 iterations, and
      DBSCAN with eps 2.5 s to keep the largest connected piece of each plane;
    - Open3D planar patches: normals within 5 s (at most 30), normal variance 60 degrees,
      coplanarity 85 degrees, 60 nearest neighbours, outlier ratio 0.75;
    - radius of the primitive normal, radius-search and features rows: 3 s (about 28 neighbours
      on a face; the features voxel size is the radius);
    - tessel.segment_planar_regions and the SeededGrower loop: epsilon = max(s, 3 noise) (voxel
      of the piece split above the spacing, plane tolerance 3 epsilon above three noise
      deviations), neighbor_radius 4 s, tau min_points, seed 0; the "epsilon only" row leaves
      neighbor_radius out;
    - quarvo.segment_planes: epsilon (plane distance, and squared radius of its normals)
      max(3 noise, (3 s)^2), cluster_epsilon (squared) (2.5 s)^2 like the DBSCAN of the Open3D
      row, max_iterations_per_plane 20000 (5000 misses the small box faces of the room: F1 0.75
      against 0.94 on the 1M room), min_points, seed 0;
    - quality: segments smaller than min_points do not count as detected planes.

    The Open3D values are the best of the sweep in bench/tune_peers.py on the room and city
    scenes at 100k points (segment_plane: distance 0.25/0.5/1 s x DBSCAN 1.5/2.5/4 s; patches:
    radius 3/5 s x variance 30/60 x coplanarity 75/85 x knn 30/60).
    """
    s = spacing
    return {
        "min_points": max(80, points // 5000),
        "o3d_distance": max(3 * noise, 0.5 * s),
        "o3d_iterations": 1000,
        "o3d_cluster_eps": 2.5 * s,
        "patch_normal_radius": 5 * s,
        "patch_normal_variance_deg": 60,
        "patch_coplanarity_deg": 85,
        "patch_knn": 60,
        "normal_radius": 3 * s,
        "seg_epsilon": max(s, 3 * noise),
        "seg_neighbor_radius": 4 * s,
        "quarvo_epsilon": max(3 * noise, 9 * s * s),
        "quarvo_cluster_epsilon": (2.5 * s) ** 2,
    }


def seeded_grower(coords, p):
    from planeseg.seeded import segment_with_seeded_grower

    params = {"epsilon": p["seg_epsilon"], "neighbor_radius": p["seg_neighbor_radius"], "tau": p["min_points"]}
    return segment_with_seeded_grower(coords, params, max_failures=50)


def _segment(coords, p, with_radius, threads=0):
    import tessel

    params = {"epsilon": p["seg_epsilon"], "tau": p["min_points"], "seed": 0, "num_threads": threads}
    if with_radius:
        params["neighbor_radius"] = p["seg_neighbor_radius"]
    return tessel.segment_planar_regions(coords, params=params)[0]


def segment_planar_regions(coords, p):
    return _segment(coords, p, True)


def segment_epsilon_only(coords, p):
    return _segment(coords, p, False)


def segment_one_thread(coords, p):
    return _segment(coords, p, True, threads=1)


def segment_planes(coords, p):
    import quarvo

    params = {"epsilon": p["quarvo_epsilon"], "cluster_epsilon": p["quarvo_cluster_epsilon"],
              "min_points": p["min_points"], "max_iterations_per_plane": 20000, "seed": 0}
    return quarvo.segment_planes(coords, params=params)[0]


def seeded_grower_build(coords, p):
    """Primitive: index and normals of SeededGrower at the normal radius."""
    import tessel

    tessel.SeededGrower(coords, params={"epsilon": p["normal_radius"] ** 2})


def pcd_features(coords, p):
    """Primitive: voxel hash and per-point eigenvalues and normals at the normal radius
    (voxel size = radius), on every OpenMP thread."""
    import features

    r = p["normal_radius"]
    features.compute_pcd_features(r, r, coords, features.compute_voxel_hash(coords, 1 / r))


def pcd_features_one_thread(coords, p):
    """The same on one thread (OMP_NUM_THREADS is read when the runtime loads, so it is set
    before the first import in this child process)."""
    import os

    os.environ["OMP_NUM_THREADS"] = "1"
    pcd_features(coords, p)


def voxel_hash(coords, p):
    """Primitive: the voxel hash alone at the normal radius."""
    import features

    features.compute_voxel_hash(coords, 1 / p["normal_radius"])


def _o3d_cloud(coords):
    import open3d as o3d

    pcd = o3d.geometry.PointCloud()
    pcd.points = o3d.utility.Vector3dVector(np.asarray(coords, np.float64))
    return pcd


def o3d_segment_plane(coords, p, max_planes=200):
    """Iterative RANSAC: take the best plane's inliers, keep their largest DBSCAN piece as a
    plane and return the rest to the pool; stop when the best piece is below min_points."""
    import open3d as o3d

    o3d.utility.set_verbosity_level(o3d.utility.VerbosityLevel.Error)
    o3d.utility.random.seed(p.get("o3d_seed", 0))
    labels = np.full(len(coords), -1, np.int32)
    remaining = np.arange(len(coords))
    pcd = _o3d_cloud(coords)
    for label in range(max_planes):
        if len(remaining) < p["min_points"]:
            break
        sub = pcd.select_by_index(remaining)
        _, inliers = sub.segment_plane(p["o3d_distance"], 3, p["o3d_iterations"])
        inliers = np.asarray(inliers)
        if len(inliers) < p["min_points"]:
            break
        pieces = np.asarray(sub.select_by_index(inliers).cluster_dbscan(p["o3d_cluster_eps"], 3))
        if (pieces >= 0).any():
            inliers = inliers[pieces == np.bincount(pieces[pieces >= 0]).argmax()]
        if len(inliers) < p["min_points"]:
            break
        labels[remaining[inliers]] = label
        remaining = np.delete(remaining, inliers)
    return labels


def o3d_planar_patches(coords, p):
    """Open3D's planar patch detector on radius normals; every point goes to the patch whose
    box holds it and whose plane is nearest."""
    import open3d as o3d

    o3d.utility.set_verbosity_level(o3d.utility.VerbosityLevel.Error)
    pcd = _o3d_cloud(coords)
    pcd.estimate_normals(o3d.geometry.KDTreeSearchParamHybrid(p["patch_normal_radius"], 30))
    patches = pcd.detect_planar_patches(
        normal_variance_threshold_deg=p["patch_normal_variance_deg"], coplanarity_deg=p["patch_coplanarity_deg"],
        outlier_ratio=0.75, min_plane_edge_length=0, min_num_points=p["min_points"],
        search_param=o3d.geometry.KDTreeSearchParamKNN(knn=p["patch_knn"]))
    labels = np.full(len(coords), -1, np.int32)
    best = np.full(len(coords), np.inf)
    pts = np.asarray(pcd.points)
    for label, box in enumerate(patches):
        inside = np.asarray(box.get_point_indices_within_bounding_box(pcd.points), dtype=np.int64)
        if not len(inside):
            continue
        normal = np.asarray(box.R)[:, int(np.argmin(box.extent))]
        dist = np.abs((pts[inside] - np.asarray(box.center)) @ normal)
        closer = dist < best[inside]
        labels[inside[closer]] = label
        best[inside[closer]] = dist[closer]
    return labels


def o3d_radius_normals(coords, p):
    import open3d as o3d

    _o3d_cloud(coords).estimate_normals(o3d.geometry.KDTreeSearchParamRadius(p["normal_radius"]))


def o3d_radius_search(coords, p, sample=20000):
    """Primitive: KD-tree radius queries from Python for a sample of points (time per query
    is reported scaled to the whole cloud)."""
    import open3d as o3d

    tree = o3d.geometry.KDTreeFlann(_o3d_cloud(coords))
    idx = np.linspace(0, len(coords) - 1, min(sample, len(coords))).astype(int)
    pts = np.asarray(coords, np.float64)
    for i in idx:
        tree.search_radius_vector_3d(pts[i], p["normal_radius"])
    return len(idx)


HAVE_OPEN3D = importlib.util.find_spec("open3d") is not None

# name -> (function, kind, needs Open3D, random seeds to run); "segmenter" rows get quality
# columns. A randomised peer runs with several seeds (params["o3d_seed"]) and the run with the
# median F1 is reported, so that neither a lucky nor an unlucky draw speaks for it.
METHODS = {
    "tessel.segment_planar_regions": (segment_planar_regions, "segmenter", False, 1),
    "tessel.segment (epsilon only)": (segment_epsilon_only, "segmenter", False, 1),
    "tessel.segment (1 thread)": (segment_one_thread, "segmenter", False, 1),
    "tessel.SeededGrower loop": (seeded_grower, "segmenter", False, 1),
    "quarvo.segment_planes": (segment_planes, "segmenter", False, 1),
    "o3d segment_plane+dbscan": (o3d_segment_plane, "segmenter", True, 3),
    "o3d planar_patches": (o3d_planar_patches, "segmenter", True, 1),
    "tessel index+normals": (seeded_grower_build, "primitive", False, 1),
    "features hash+features": (pcd_features, "primitive", False, 1),
    "features (1 thread)": (pcd_features_one_thread, "primitive", False, 1),
    "features.compute_voxel_hash": (voxel_hash, "primitive", False, 1),
    "o3d radius normals": (o3d_radius_normals, "primitive", True, 1),
    "o3d radius search (py)": (o3d_radius_search, "primitive", True, 1),
}


def available_methods():
    return {name: m for name, m in METHODS.items() if HAVE_OPEN3D or not m[2]}

