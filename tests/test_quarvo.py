import threading

import numpy as np
import pytest

import quarvo
import tessel
from planeseg.metrics import plane_metrics
from planeseg.scenes import room
from scenes import grid, tilted, up_normals

INFO_KEYS = ["num_points", "num_planes", "num_unassigned", "elapsed_seconds", "cancelled", "planes"]


def run(coords, normals=None, progress=None, **params):
    mode = "compute" if normals is None else "use_provided"
    labels, info = quarvo.segment_planes(coords, normals, mode, params, progress)
    assert labels.dtype == np.int32 and labels.shape == (len(coords),)
    assert list(info) == INFO_KEYS
    assert info["num_unassigned"] == int((labels < 0).sum())
    for k, plane in enumerate(info["planes"]):
        assert list(plane) == ["centroid", "normal", "d", "size"]
        assert all(type(v) is float for v in (*plane["centroid"], *plane["normal"], plane["d"]))
        assert plane["size"] == int((labels == k).sum())
    return labels, info


def test_progress_class_is_its_own():
    assert quarvo.Progress is quarvo._QuarvoProgress
    p = quarvo.Progress()
    assert (p.stage(), p.planes_found(), p.active_points_remaining(), p.current_best_support()) == ("Idle", 0, 0, 0)
    p.reset(7)
    assert (p.active_points_remaining(), p.planes_found(), p.total()) == (7, 0, 7)
    with pytest.raises(TypeError):
        quarvo.segment_planes(grid(5, 5), progress=tessel.Progress())


def test_empty_cloud(capfd):
    progress = quarvo.Progress()
    labels, info = run(np.zeros((0, 3)), progress=progress)
    assert info["num_planes"] == 0 and info["planes"] == [] and info["cancelled"] is False
    assert progress.stage() == "Done"
    out = capfd.readouterr().out.splitlines()
    assert out[0] == "[quarvo] Computing normals..."
    assert out[1].startswith("[quarvo] Done in ") and out[1].endswith("s")


def test_single_perfect_plane():
    coords = grid()
    progress = quarvo.Progress()
    progress.request_cancel()  # cleared by the reset at the start of the call
    labels, info = run(coords, up_normals(len(coords)), progress, seed=3)
    assert info["num_planes"] == 1 and (labels == 0).all()
    plane = info["planes"][0]
    assert plane["size"] == 2601
    assert abs(plane["normal"][2]) == pytest.approx(1.0)
    assert (progress.stage(), progress.planes_found(), progress.active_points_remaining()) == ("Done", 1, 0)
    assert progress.done() == progress.total() == 2601


def test_coplanar_patches_split_by_a_gap_become_two_planes():
    big, small = grid(40, 40), grid(20, 20, x0=1.5)
    coords = np.vstack([big, small])
    labels, info = run(coords, up_normals(len(coords)), seed=1, min_points=100)
    assert [p["size"] for p in info["planes"]] == [1600, 400]
    assert (labels[:1600] == 0).all() and (labels[1600:] == 1).all()


@pytest.mark.parametrize("tilt, threshold, joins", [(20, 25, True), (30, 25, False), (180, 25, True),
                                                   (0.5, 0, False), (180, 0, True)])
def test_normal_threshold(tilt, threshold, joins):
    coords = grid()
    normals = up_normals(len(coords))
    normals[100] = tilted(tilt)
    labels, _ = run(coords, normals, seed=2, normal_threshold_deg=threshold)
    assert (labels[100] == 0) == joins
    assert (np.delete(labels, 100) == 0).all()


@pytest.mark.parametrize(
    "params, expected",
    [({"min_points": 2}, 1), ({"min_points": 4}, 0), ({"normal_threshold_deg": 120, "min_points": 3}, 1),
     ({"epsilon": 0, "min_points": 3, "cluster_epsilon": 1.0}, 1), ({"probability": 1.5, "min_points": 3}, 1),
     ({"probability": 0, "min_points": 3}, 1), ({"max_iterations_per_plane": 10, "min_points": 3}, 1)],
)
def test_clamped_values_act_like_their_bounds(params, expected):
    # Three points: min_points 2 acts as 3 and finds them; 4 finds nothing.
    coords = np.array([[0, 0, 0], [0.1, 0, 0], [0, 0.1, 0]], float)
    _, info = run(coords, up_normals(3), seed=0, **params)
    assert info["num_planes"] == expected


@pytest.mark.parametrize("key, value", [("min_points", 100.0), ("seed", -1), ("max_iterations_per_plane", "5"),
                                        ("epsilon", "x"), ("seed", 2**32)])
def test_values_of_the_wrong_kind_raise_the_cast_error(key, value):
    with pytest.raises(RuntimeError, match=f"^Unable to cast Python instance of type .* for key '{key}'$"):
        quarvo.segment_planes(grid(5, 5), params={key: value})


def test_more_min_points_than_points_finds_nothing():
    labels, info = run(grid(10, 10), min_points=101)
    assert info["num_planes"] == 0 and info["num_unassigned"] == 100


def test_room_is_found_and_the_search_repeats_for_a_seed():
    scene = room(60_000, noise=0.002, seed=3)
    a, info_a = run(scene.coords, epsilon=0.01, min_points=80, seed=5)
    b, info_b = run(scene.coords, epsilon=0.01, min_points=80, seed=5)
    np.testing.assert_array_equal(a, b)
    assert info_a["planes"] == info_b["planes"]
    assert plane_metrics(scene.labels, a, min_segment_points=80)["f1@0.5"] >= 0.9
    c, _ = run(scene.coords, epsilon=0.01, min_points=80, seed=6)
    assert not np.array_equal(a, c)


def test_cancel_from_another_thread_keeps_the_planes_found_so_far():
    scene = room(200_000, noise=0.002, seed=3)
    progress = quarvo.Progress()
    result = {}
    worker = threading.Thread(target=lambda: result.update(info=run(
        scene.coords, progress=progress, epsilon=0.02, min_points=50, seed=1)))
    worker.start()
    while worker.is_alive() and progress.planes_found() < 2:
        pass
    progress.request_cancel()
    worker.join()
    labels, info = result["info"]
    assert info["cancelled"] is True
    assert 2 <= info["num_planes"] < 26
    assert progress.stage() != "Done"
    assert set(np.unique(labels)) == set(range(-1, info["num_planes"]))
