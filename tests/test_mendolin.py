import threading

import numpy as np
import pytest

import mendolin
from planeseg.metrics import plane_metrics
from planeseg.scenes import room
from scenes import grid

STAT_KEYS = ["num_points", "num_input_regions", "num_planar_regions", "num_adjacency_pairs",
             "num_merge_candidates", "num_output_regions", "elapsed_seconds", "cancelled"]


def merge(coords, labels, params=None, progress=None):
    out, stats = mendolin.merge_planar_regions(coords, labels, params or {}, progress)
    assert out.dtype == np.int32 and out.shape == (len(coords),)
    assert list(stats) == STAT_KEYS
    return out, stats


def two_patches(offset=(0.0, 0.0, 0.0), flip=False):
    """Two 20 x 20 patches 2 cm apart, touching along x = 0.4, labelled 10 and 20."""
    a = grid(20, 20)
    b = grid(20, 20, x0=0.4) + offset
    coords = np.vstack([a, b])
    labels = np.r_[np.full(400, 10), np.full(400, 20)]
    return coords, labels


def test_empty_cloud_and_progress():
    progress = mendolin.Progress()
    out, stats = merge(np.zeros((0, 3)), np.zeros(0, int), progress=progress)
    assert len(out) == 0 and stats["cancelled"] is False
    assert all(stats[k] == 0 for k in STAT_KEYS[:6])
    assert (progress.done(), progress.total(), progress.stage()) == (4, 4, "Done")


def test_coplanar_patches_merge_and_ids_are_dense():
    coords, labels = two_patches()
    out, stats = merge(coords, labels)
    assert (out == 0).all()
    assert (stats["num_input_regions"], stats["num_planar_regions"], stats["num_adjacency_pairs"],
            stats["num_merge_candidates"], stats["num_output_regions"]) == (2, 2, 1, 1, 1)


@pytest.mark.parametrize("offset, merged", [((0, 0, 0.05), False), ((0, 0, 0.02), True)])
def test_parallel_patches_apart_stay_apart(offset, merged):
    coords, labels = two_patches(offset)
    out, _ = merge(coords, labels, {"neighbor_radius": 0.1})
    assert (len(np.unique(out)) == 1) == merged


def test_opposite_normals_and_a_tilted_patch():
    coords, labels = two_patches()
    flipped = coords.copy()
    flipped[400:] = flipped[400:][::-1]  # the same points in another order: normals may flip sign
    assert (merge(flipped, labels)[0] == 0).all()
    tilted = coords.copy()
    tilted[400:, 2] = (tilted[400:, 0] - 0.4) * np.tan(np.radians(20))  # 20 degrees > 10
    assert len(np.unique(merge(tilted, labels)[0])) == 2


@pytest.mark.parametrize("pairs, merged", [(2, False), (3, True)])
def test_contact_count_needs_min_contact_points(pairs, merged):
    # Two patches 0.2 apart, bridged by `pairs` pairs of points 1 cm across the seam.
    a, b = grid(10, 10, spacing=0.02), grid(10, 10, spacing=0.02, x0=0.38)
    bridge_a = np.c_[np.full(pairs, 0.25), np.arange(pairs) * 0.5, np.zeros(pairs)]
    bridge_b = bridge_a + [0.01, 0, 0]
    coords = np.vstack([a, bridge_a, b, bridge_b])
    labels = np.r_[np.zeros(100 + pairs, int), np.ones(100 + pairs, int)]
    out, stats = merge(coords, labels, {"neighbor_radius": 0.015})
    assert (len(np.unique(out)) == 1) == merged


def test_merging_is_transitive_and_small_regions_keep_their_label():
    a, b, c = grid(20, 20), grid(20, 20, x0=0.4), grid(20, 20, x0=0.8)
    c[:, 2] += (c[:, 0] - 0.8) * np.tan(np.radians(8))  # 8 degrees from b, 16 from a... but touches b only
    small = grid(3, 3, x0=1.2)
    coords = np.vstack([a, b, c, small])
    labels = np.r_[np.full(400, 1), np.full(400, 2), np.full(400, 3), np.full(9, 4)]
    out, _ = merge(coords, labels, {"plane_distance_threshold": 0.1})
    assert len(np.unique(out[:1200])) == 1
    assert len(np.unique(out[1200:])) == 1 and out[-1] != out[0]


def test_output_order_and_negative_labels():
    coords = np.array([[0, 0, 0], [0.01, 0, 0], [5, 5, 5], [9, 9, 9], [0.02, 0, 0]], float)
    loose = {"min_region_size": 1, "planarity_threshold": 0, "min_contact_points": 1, "normal_angle_deg": 90,
             "plane_distance_threshold": 1.0}
    out, stats = merge(coords, np.array([5, 5, 3, -2, 7]), loose)
    assert out.tolist() == [0, 0, 1, -1, 0]
    out, _ = merge(coords[:4], np.array([7, 7, 2, 2]), {"neighbor_radius": 1e-3})
    assert out.tolist() == [0, 0, 1, 1]
    out, stats = merge(coords, np.full(5, -3))
    assert (out == -1).all() and stats["num_input_regions"] == 0 and stats["num_output_regions"] == 0


@pytest.mark.parametrize("convert", [lambda l: l.reshape(-1, 1), lambda l: l.astype(np.int64),
                                     lambda l: l.astype(np.float64), lambda l: l.tolist(),
                                     lambda l: l.astype(np.uint16)])
def test_label_shapes_and_dtypes(convert):
    coords, labels = two_patches()
    reference, _ = merge(coords, labels)
    np.testing.assert_array_equal(merge(coords, convert(labels))[0], reference)


@pytest.mark.parametrize("labels, message", [
    (np.zeros((800, 2)), r"^labels must be a \(N,\) or \(N,1\) int array$"),
    (np.zeros((800, 1, 1)), r"^labels must be a \(N,\) or \(N,1\) int array$"),
    (np.zeros(799), "^labels length must match coords row count$"),
    (np.r_[np.zeros(799), 0.5], "^labels must hold integer values within the int32 range$"),
    (np.r_[np.zeros(799, np.int64), 2**31], "^labels must hold integer values within the int32 range$"),
    (np.r_[np.zeros(799), np.nan], "^labels must hold integer values within the int32 range$"),
])
def test_label_errors(labels, message):
    coords, _ = two_patches()
    with pytest.raises(RuntimeError, match=message):
        mendolin.merge_planar_regions(coords, labels)


def test_coords_error_and_progress_of_another_kind():
    with pytest.raises(RuntimeError, match=r"^coords must be a \(N,3\) float array$"):
        mendolin.merge_planar_regions(np.zeros((4, 2)), np.zeros(4))
    coords, labels = two_patches()
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type"):
        mendolin.merge_planar_regions(coords, labels, {}, object())
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type .* for key 'min_region_size'$"):
        mendolin.merge_planar_regions(coords, labels, {"min_region_size": 2.5})


@pytest.mark.parametrize("params, merged", [({"neighbor_radius": 0}, False), ({"min_contact_points": 0}, True),
                                            ({"normal_angle_deg": 120}, True), ({"planarity_threshold": -1}, True)])
def test_clamped_values(params, merged):
    coords, labels = two_patches()
    out, stats = merge(coords, labels, params)
    assert (len(np.unique(out)) == 1) == merged


def test_over_segmented_room_is_merged_back():
    scene = room(60_000, noise=0.002, seed=5)
    pieces = scene.labels * 16 + (np.floor(scene.coords[:, 0] / 2) + 4 * np.floor(scene.coords[:, 1] / 2)).astype(int)
    pieces[scene.labels < 0] = -1
    out, stats = merge(scene.coords, pieces, {"neighbor_radius": 0.1, "plane_distance_threshold": 0.03})
    assert stats["num_input_regions"] > 2 * stats["num_output_regions"]
    assert plane_metrics(scene.labels, pieces)["f1@0.5"] < 0.8
    assert plane_metrics(scene.labels, out)["f1@0.5"] >= 0.9


def test_cancel_during_the_run_returns_the_input_labels():
    scene = room(400_000, noise=0.002, seed=5)
    labels = np.where(scene.labels >= 0, scene.labels * 100 + (scene.coords[:, 0] > 4), -7)
    progress = mendolin.Progress()
    result = {}
    worker = threading.Thread(target=lambda: result.update(r=merge(scene.coords, labels, {"neighbor_radius": 0.2},
                                                                   progress)))
    worker.start()
    while worker.is_alive() and progress.done() < 1:
        pass
    progress.request_cancel()
    worker.join()
    out, stats = result["r"]
    if stats["cancelled"]:
        np.testing.assert_array_equal(out, labels)
        assert stats["elapsed_seconds"] == 0.0 and stats["num_output_regions"] == 0
    else:  # the run outpaced the request
        assert progress.stage() == "Done"
