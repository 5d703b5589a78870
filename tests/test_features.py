import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import features
import tessel
from scenes import grid

F32 = np.float32


def pts(*rows):
    return np.array(rows, F32)


def search(points, query, radius, voxel_size, inv_s=None):
    h = features.compute_voxel_hash(points, 1 / voxel_size if inv_s is None else inv_s)
    return features.get_neighbor_inds_radius(radius, np.asarray(query, F32), voxel_size, h, points)


def cell_of(p, voxel_size):
    """The cell the index uses: floor of float32 value times its float32 scale, in float64."""
    scale = np.float64(F32(1 / voxel_size))
    return tuple(int(np.floor(np.float64(c) * scale)) for c in p)


def brute_force(points, q, radius, voxel_size):
    """Neighbours by the documented rule: float32 distances (y, then x, then z) within radius
    and cells inside the query box, ordered by cell (x, y, z) and then index."""
    q = np.asarray(q, F32)
    r = F32(radius)
    d = points - q
    d2 = (d[:, 1] * d[:, 1] + d[:, 0] * d[:, 0]) + d[:, 2] * d[:, 2]
    lo, hi = cell_of(q - r, voxel_size), cell_of(q + r, voxel_size)
    keep = []
    for i in np.flatnonzero(d2 <= r * r):
        c = cell_of(points[i], voxel_size)
        if all(lo[a] <= c[a] <= hi[a] for a in range(3)):
            keep.append((c, i))
    return np.array([i for _, i in sorted(keep)], np.uint32)


def test_module_surface():
    assert features.__doc__ == "Point cloud feature utilities"
    assert features.Progress is features._FeaturesProgress
    assert "positive_coords" in features.compute_pcd_features.__doc__


@pytest.mark.parametrize("x, y, z, inv_s, key", [
    (0.5, 0.5, 0.5, 1.0, 1632723021),     # cell (0, 0, 0)
    (1.5, 2.5, 3.5, 1.0, 3693793001),     # cell (1, 2, 3)
    (0.15, 0.25, 0.35, 10.0, 3693793001),  # the same cell at another scale
])
def test_voxel_key_worked_values(x, y, z, inv_s, key):
    assert features.voxel_key(x, y, z, inv_s) == key
    assert features.voxel_key(x=x, y=y, z=z, inv_s=inv_s) == key


def test_voxel_key_range_and_nan(rng):
    keys = [features.voxel_key(*v, 1.0) for v in rng.normal(0, 1e6, (2000, 3))]
    assert all(0 <= k < 2**32 for k in keys) and max(keys) >= 2**31  # unsigned, full width
    with pytest.raises(RuntimeError, match="NaN"):
        features.voxel_key(float("nan"), 0, 0, 1)


@pytest.mark.parametrize("x, inv_s, cell_x", [
    (0.05, 10, 0), (0.09, 10, 0), (0.1, 10, 1), (-0.05, 10, -1),
    (-0.1, 10, -2),   # float32 -0.1 is just below -0.1, so times 10 it floors to -2
    (0.5, 2, 1), (-0.5, 2, -1), (0.0, 2, 0), (-0.0, 2, 0),  # exact boundaries go to the upper cell
])
def test_cells_floor_including_boundaries_and_negatives(x, inv_s, cell_x):
    assert features.voxel_key(x, 0, 0, inv_s) == features.voxel_key(cell_x + 0.5, 0.0, 0.0, 1.0)


def test_index_groups_points_by_cell():
    h = features.compute_voxel_hash(pts((0.05, 0, 0), (0.09, 0, 0), (0.1, 0, 0), (-0.05, 0, 0)), 10)
    assert len(h) == 3
    same = np.zeros((10, 3), F32) + 0.3
    h = features.compute_voxel_hash(same, 1)
    assert len(h) == 1
    assert features.get_neighbor_inds_radius(0.1, same[0], 1.0, h, same).tolist() == list(range(10))
    assert len(features.compute_voxel_hash(np.zeros((0, 3), F32), 1)) == 0
    assert len(features.VoxelHash()) == 0


def test_worked_search_order():
    points = pts((0.0, 0, 0), (0.12, 0, 0), (0.06, 0, 0), (-0.02, 0, 0))
    assert search(points, (0.02, 0, 0), 0.05, 0.1, inv_s=10).tolist() == [3, 0, 2]
    assert search(points, [[0.02, 0, 0]], 0.05, 0.1, inv_s=10).tolist() == [3, 0, 2]


@pytest.mark.parametrize("query, radius, voxel_size, expected", [
    ((0, 0, 0), 0.5, 0.25, [0, 1]),            # (0.5, 0, 0) is exactly radius away: included
    ((0, 0, 0), 0.0, 0.25, []),                # radius 0 finds nothing, not even the point itself
    ((0, 0, 0), -1.0, 0.25, []),
    ((0, 0, 0), 0.5, 0.0, []),                 # voxel_size not positive
    ((0, 0, 0), 0.5, -0.25, []),
    ((1e6, 1e6, 1e6), 0.5, 0.25, []),          # far outside the cloud
    ((np.nan, 0, 0), 0.5, 0.25, []),
    ((0, 0, 0), np.inf, 0.25, [0, 1, 2]),      # everything, in cell order
])
def test_search_bounds(query, radius, voxel_size, expected):
    points = pts((0, 0, 0), (0.5, 0, 0), (0.75, 0.5, 0))
    assert search(points, query, radius, voxel_size, inv_s=4).tolist() == expected


@pytest.mark.parametrize("shape", [(3, 1), (2, 3), (4,), (1, 1, 3), ()])
def test_bad_query_shapes(shape):
    points = pts((0, 0, 0))
    h = features.compute_voxel_hash(points, 1)
    with pytest.raises(RuntimeError, match=r"^query must be a \(3,\) or \(1,3\) float array$"):
        features.get_neighbor_inds_radius(1.0, np.zeros(shape, F32), 1.0, h, points)


@pytest.mark.parametrize("call", ["hash", "search", "features"])
@pytest.mark.parametrize("bad", [np.zeros((4, 2)), np.zeros(12), np.zeros((2, 3, 1))])
def test_bad_coordinate_shapes(call, bad):
    h = features.VoxelHash()
    with pytest.raises(RuntimeError, match=r"^positive_coords must be a \(N,3\) float array$"):
        if call == "hash":
            features.compute_voxel_hash(bad, 1.0)
        elif call == "search":
            features.get_neighbor_inds_radius(1.0, np.zeros(3), 1.0, h, bad)
        else:
            features.compute_pcd_features(1.0, 1.0, bad, h)


def test_fewer_rows_than_the_index_is_refused():
    points = grid(10, 10).astype(F32)
    h = features.compute_voxel_hash(points, 10)
    with pytest.raises(RuntimeError, match="positive_coords has 50 rows but the VoxelHash was built from 100"):
        features.get_neighbor_inds_radius(0.1, points[0], 0.1, h, points[:50])
    with pytest.raises(RuntimeError, match="positive_coords has 50 rows but the VoxelHash was built from 100"):
        features.compute_pcd_features(0.1, 0.1, points[:50], h)


@pytest.mark.parametrize("radius, voxel_size", [(0.05, 0.05), (0.08, 0.03), (0.05, 0.2), (0.3, 0.01)])
def test_search_matches_brute_force(rng, radius, voxel_size):
    points = rng.uniform(-0.3, 0.3, (400, 3)).astype(F32)
    points[::7] = np.round(points[::7] / voxel_size) * voxel_size  # points on cell boundaries
    h = features.compute_voxel_hash(points, 1 / voxel_size)
    for q in list(points[:40]) + list(rng.uniform(-0.4, 0.4, (20, 3)).astype(F32)):
        got = features.get_neighbor_inds_radius(radius, q, voxel_size, h, points)
        assert got.dtype == np.uint32
        np.testing.assert_array_equal(got, brute_force(points, q, radius, voxel_size))


def scatter_oracle(points, radius, voxel_size):
    """Eigenvalues and eigenvector matrices of each point's scatter, in float64."""
    values, vectors = [], []
    for q in points:
        d = points[brute_force(points, q, radius, voxel_size)].astype(np.float64) - q
        w, v = np.linalg.eigh(d.T @ d)
        values.append(w)
        vectors.append(v)
    return np.array(values), np.array(vectors)


def test_features_match_oracle(rng):
    # Points near a tilted plane, so that most neighbourhoods have a clear smallest direction.
    n = 300
    uv = rng.uniform(-0.5, 0.5, (n, 2))
    normal = np.array([0.2, -0.3, 1.0]) / np.linalg.norm([0.2, -0.3, 1.0])
    a = np.cross(normal, [1.0, 0, 0]); a /= np.linalg.norm(a)
    b = np.cross(normal, a)
    points = (uv[:, :1] * a + uv[:, 1:] * b + rng.normal(0, 0.01, (n, 1)) * normal).astype(F32)
    radius, voxel_size = 0.15, 0.1
    h = features.compute_voxel_hash(points, 1 / voxel_size)
    eig, nrm = features.compute_pcd_features(radius, voxel_size, points, h)
    assert eig.dtype == nrm.dtype == F32 and eig.shape == nrm.shape == (n, 3)
    want_values, want_vectors = scatter_oracle(points, radius, voxel_size)
    scale = want_values[:, 2:3] + 1e-12
    np.testing.assert_allclose(eig / scale, want_values / scale, atol=1e-4)
    assert (np.diff(eig, axis=1) >= 0).all()
    np.testing.assert_allclose(np.linalg.norm(nrm, axis=1), 1, atol=1e-5)
    gap = (want_values[:, 1] - want_values[:, 0]) / scale[:, 0]
    clear = gap > 0.05
    assert clear.sum() > 250
    cos = np.abs(np.einsum("ij,ij->i", nrm[clear].astype(np.float64), want_vectors[clear, :, 0]))
    np.testing.assert_allclose(cos, 1, atol=1e-4)
    assert np.median(np.abs(nrm @ normal)) > 0.99


def test_features_of_special_neighbourhoods():
    # An isolated point, two points 1 apart, and a point with a non-finite coordinate.
    points = pts((10, 10, 10), (0, 0, 0), (1, 0, 0), (np.nan, 0, 0), (np.inf, 0, 0))
    h = features.compute_voxel_hash(points, 1 / 0.5)
    eig, nrm = features.compute_pcd_features(1.5, 0.5, points, h)
    np.testing.assert_array_equal(eig[0], [0, 0, 0])
    np.testing.assert_array_equal(nrm[0], [1, 0, 0])
    np.testing.assert_allclose(eig[1:3], [[0, 0, 1], [0, 0, 1]], atol=1e-6)
    np.testing.assert_allclose(nrm[1:3, 0], 0, atol=1e-6)  # perpendicular to the line
    assert np.isnan(eig[3:]).all() and np.isnan(nrm[3:]).all()
    assert len(h) == 4  # the NaN point is left out of the index; the infinite one kept far away


@pytest.mark.parametrize("radius, voxel_size", [(0.0, 0.1), (0.1, 0.0), (-1, 0.1)])
def test_nothing_to_search_gives_zero_features(radius, voxel_size):
    points = grid(5, 5).astype(F32)
    for h in (features.compute_voxel_hash(points, 10), features.VoxelHash()):
        eig, nrm = features.compute_pcd_features(radius, voxel_size, points, h)
        assert (eig == 0).all() and (nrm == [1, 0, 0]).all()


def test_extra_rows_are_queried_against_the_index():
    points = grid(10, 10).astype(F32)
    h = features.compute_voxel_hash(points[:50], 1 / 0.05)
    eig, nrm = features.compute_pcd_features(0.05, 0.05, points, h)
    full_eig, _ = features.compute_pcd_features(0.05, 0.05, points, features.compute_voxel_hash(points, 20))
    # grid rows are x-major, 10 per x: rows 0-29 have all their neighbours among rows 0-49,
    # rows 70 on have none there
    np.testing.assert_array_equal(eig[:30], full_eig[:30])
    assert (eig[70:] == 0).all() and (eig[30:70] != full_eig[30:70]).any()
    assert not np.isnan(eig).any()


def test_plane_normals():
    points = grid(60, 60, spacing=0.01).astype(F32)
    h = features.compute_voxel_hash(points, 1 / 0.03)
    eig, nrm = features.compute_pcd_features(0.03, 0.03, points, h)
    assert np.abs(eig[:, 0]).max() < 1e-9
    np.testing.assert_allclose(np.abs(nrm[:, 2]), 1, atol=1e-6)


def test_progress_counts_and_reset_withdraws_cancel():
    points = grid(30, 30).astype(F32)
    h = features.compute_voxel_hash(points, 20)
    progress = features.Progress()
    progress.request_cancel()
    eig, _ = features.compute_pcd_features(0.05, 0.05, points, h, progress=progress)
    assert (progress.done(), progress.total(), progress.cancelled()) == (900, 900, False)
    assert not np.isnan(eig).any()
    empty = np.zeros((0, 3), F32)
    eig, nrm = features.compute_pcd_features(0.05, 0.05, empty, features.compute_voxel_hash(empty, 20), progress)
    assert eig.shape == nrm.shape == (0, 3)
    assert (progress.done(), progress.total()) == (0, 0)
    with pytest.raises(TypeError):
        features.compute_pcd_features(0.05, 0.05, points, h, tessel.Progress())


def test_cancel_while_running_fills_skipped_rows_with_nan(rng):
    points = rng.uniform(0, 1, (1_000_000, 3)).astype(F32)
    h = features.compute_voxel_hash(points, 1 / 0.03)
    progress = features.Progress()
    out = {}
    worker = threading.Thread(target=lambda: out.update(
        r=features.compute_pcd_features(0.03, 0.03, points, h, progress)))
    worker.start()
    deadline = time.monotonic() + 60
    while progress.done() == 0 and worker.is_alive() and time.monotonic() < deadline:
        time.sleep(0.001)
    progress.request_cancel()
    worker.join()
    eig, nrm = out["r"]
    done = progress.done()
    assert progress.cancelled() and 0 < done < len(points)
    skipped = np.isnan(eig).any(axis=1)
    assert skipped.sum() == len(points) - done
    assert (np.isnan(nrm).any(axis=1) == skipped).all()


THREAD_SCRIPT = """
import hashlib, sys, numpy as np, features
rng = np.random.default_rng(5)
p = rng.uniform(0, 1, (20000, 3)).astype(np.float32)
p[::3, 2] = 0.5
h = features.compute_voxel_hash(p, 1 / 0.06)
e, n = features.compute_pcd_features(0.06, 0.06, p, h)
print(hashlib.sha256(e.tobytes() + n.tobytes()).hexdigest())
"""


def test_results_do_not_depend_on_thread_count():
    digests = set()
    for threads in ("1", "2", "3"):
        env = dict(os.environ, OMP_NUM_THREADS=threads)
        done = subprocess.run([sys.executable, "-c", THREAD_SCRIPT], env=env, capture_output=True, text=True,
                              check=True)
        digests.add(done.stdout.strip())
    assert len(digests) == 1
