import threading

import numpy as np
import pytest

import tessel
from planeseg.metrics import plane_metrics
from planeseg.scenes import room, two_planes_edge
from scenes import grid, up_normals

STAT_KEYS = ["num_points", "num_chunks", "num_regions_pre_merge", "num_regions_post_merge", "num_unassigned",
             "elapsed_seconds", "cancelled"]


def segment(coords, **kwargs):
    labels, stats = tessel.segment_planar_regions(coords, **kwargs)
    assert labels.dtype == np.int32 and labels.shape == (len(coords),)
    assert list(stats) == STAT_KEYS
    assert [type(stats[k]) for k in STAT_KEYS] == [int] * 5 + [float, bool]
    return labels, stats


def stage_lines(capfd):
    return [line for line in capfd.readouterr().out.splitlines() if line.startswith("[tessel] ")]


# 60k points: about 5.6 cm apart, so the 1.1547 * epsilon voxel of the piece split must reach that.
ROOM = {"epsilon": 0.06, "neighbor_radius": 0.15}


@pytest.fixture(scope="module")
def small_room():
    return room(60_000, noise=0.002, seed=4)


def test_room_is_segmented_into_its_planes(small_room, capfd):
    labels, stats = segment(small_room.coords, params={**ROOM, "seed": 7})
    q = plane_metrics(small_room.labels, labels)
    assert q["f1@0.5"] >= 0.95
    assert stats["num_points"] == len(small_room.coords)
    assert stats["num_unassigned"] == 0 and (labels >= 0).all()
    lines = stage_lines(capfd)
    assert lines[0] == "[tessel] Stage 1/6: normals will be computed inside chunk workers..."
    assert lines[1] == "[tessel] Stage 2/6: chunking prepared with 1 chunk(s)"
    assert lines[2] == "[tessel] Stage 3/6: segmented chunks 1/1"
    assert lines[3] == "[tessel] Stage 4/6: reconciliation enabled"
    assert lines[4] == "[tessel] Stage 5/6: global leftover reassignment enabled"
    assert lines[5].startswith("[tessel] Stage 6/6: done in ") and lines[5].endswith("s")
    assert len(lines) == 6


def test_empty_cloud(capfd):
    labels, stats = segment(np.zeros((0, 3)))
    assert len(labels) == 0
    assert {k: stats[k] for k in STAT_KEYS[:5]} == {
        "num_points": 0, "num_chunks": 1, "num_regions_pre_merge": 0, "num_regions_post_merge": 0,
        "num_unassigned": 0}
    assert "[tessel] Stage 2/6: chunking prepared with 0 chunk(s)" in stage_lines(capfd)


def test_disabled_stages_say_so(small_room, capfd):
    labels, stats = segment(small_room.coords, params={**ROOM, "global_reassign_enabled": False, "seed": 1},
                            chunking={"enabled": False}, merge={"enabled": False})
    lines = stage_lines(capfd)
    assert "[tessel] Stage 2/6: chunking prepared with 1 chunk(s) (chunking disabled)" in lines
    assert "[tessel] Stage 4/6: reconciliation disabled" in lines
    assert "[tessel] Stage 5/6: global leftover reassignment disabled" in lines
    assert stats["num_regions_post_merge"] == stats["num_regions_pre_merge"]
    assert stats["num_unassigned"] == int((labels < 0).sum()) > 0


def test_refine_unassigned_stands_in_for_the_global_flag(small_room):
    _, off = segment(small_room.coords, params={**ROOM, "refine_unassigned": False, "seed": 1})
    assert off["num_unassigned"] > 0
    _, on = segment(small_room.coords, params={**ROOM, "refine_unassigned": False,
                                                          "global_reassign_enabled": True, "seed": 1})
    assert on["num_unassigned"] == 0


def test_normal_mode_errors_and_the_provided_normals_line(capfd):
    coords = grid(20, 20)
    with pytest.raises(RuntimeError, match="^normal_mode must be 'compute' or 'use_provided'$"):
        tessel.segment_planar_regions(coords, normal_mode="Compute")
    assert stage_lines(capfd) == []
    with pytest.raises(RuntimeError, match="^normal_mode='use_provided' requires normals$"):
        tessel.segment_planar_regions(coords, normal_mode="use_provided")
    assert stage_lines(capfd) == ["[tessel] Stage 1/6: using provided normals..."]
    labels, _ = segment(coords, normals=up_normals(len(coords)), normal_mode="use_existing", params={"tau": 50})
    assert (labels == 0).all()


@pytest.mark.parametrize(
    "arg, value, message",
    [("params", {"tau": 5.0}, "key 'tau'"), ("chunking", {"chunk_x": -1}, "key 'chunk_x'"),
     ("chunking", {"mode": 3}, "key 'mode'"), ("merge", {"angle_deg": "x"}, "key 'angle_deg'"),
     ("params", {"seed": -1}, "key 'seed'"), ("params", {"neighbor_radius": "r"}, "key 'neighbor_radius'")],
)
def test_dictionary_values_of_the_wrong_kind(arg, value, message):
    with pytest.raises(RuntimeError, match=f"^Unable to cast Python instance of type .*{message}$"):
        tessel.segment_planar_regions(grid(5, 5), **{arg: value})


def test_progress_protocol_and_cancellation_reporting(small_room):
    progress = tessel.Progress()
    progress.request_cancel()  # withdrawn by the reset at the start of the run
    chunking = {"mode": "explicit", "chunk_x": 2, "chunk_y": 2}
    _, stats = segment(small_room.coords, params={**ROOM, "seed": 3}, chunking=chunking, progress=progress)
    assert stats["cancelled"] is False
    assert progress.done() == progress.total() == stats["num_chunks"] + 4
    statuses = progress.chunk_statuses()
    assert [s["chunk"] for s in statuses] == list(range(stats["num_chunks"]))
    assert all(s["phase"] == 2 and s["fail_threshold"] == pytest.approx(0.9) and s["attempts"] > 0 for s in statuses)
    assert list(statuses[0]) == ["chunk", "attempts", "regions", "remaining", "fail_rate", "fail_threshold", "phase"]


def test_a_cancel_request_during_the_run_is_reported_not_obeyed():
    big = room(400_000, noise=0.002, seed=1).coords  # about a second on one thread: time to cancel
    progress = tessel.Progress()
    result = {}

    def run():
        result["labels"], result["stats"] = tessel.segment_planar_regions(
            big, params={"epsilon": 0.03, "neighbor_radius": 0.06, "seed": 3, "num_threads": 1}, progress=progress)

    worker = threading.Thread(target=run)
    worker.start()
    while progress.total() == 0 and worker.is_alive():
        pass
    progress.request_cancel()
    running = progress.done() < progress.total()
    worker.join()
    assert running, "the run ended before the request could be made"
    assert result["stats"]["cancelled"] is True
    assert (result["labels"] >= 0).all()


def test_progress_of_another_kind_is_a_type_error():
    with pytest.raises(TypeError):
        tessel.segment_planar_regions(grid(5, 5), progress=object())


def test_seed_makes_labels_reproducible_whatever_the_threads(small_room):
    chunking = {"mode": "explicit", "chunk_x": 3, "chunk_y": 2}
    runs = [segment(small_room.coords, params={**ROOM, "seed": 11, "num_threads": t}, chunking=chunking)[0]
            for t in (1, 2, 0, 2)]
    for labels in runs[1:]:
        np.testing.assert_array_equal(labels, runs[0])
    other = segment(small_room.coords, params={**ROOM, "seed": 12}, chunking=chunking)[0]
    assert not np.array_equal(other, runs[0])


def test_without_a_seed_runs_draw_from_the_random_device(small_room):
    runs = [segment(small_room.coords, params=ROOM)[0] for _ in range(3)]
    assert any(not np.array_equal(runs[0], r) for r in runs[1:])
    for labels in runs:
        assert plane_metrics(small_room.labels, labels)["f1@0.5"] >= 0.9  # 0.96-1.00 over 30 runs


def test_coplanar_regions_merge_across_chunk_borders():
    coords = grid(101, 51)  # 2 m x 1 m floor
    params = {"seed": 5}
    labels, stats = segment(coords, params=params, chunking={"mode": "explicit", "chunk_x": 4})
    assert stats["num_chunks"] == 4
    assert stats["num_regions_pre_merge"] >= 4
    assert len(np.unique(labels[labels >= 0])) == 1
    unmerged, _ = segment(coords, params=params, chunking={"mode": "explicit", "chunk_x": 4},
                          merge={"enabled": False})
    assert len(np.unique(unmerged)) >= 4


def test_huge_explicit_grid_on_a_small_cloud():
    coords = grid(30, 30, spacing=0.05)
    labels, stats = segment(coords, params={"seed": 1}, chunking={"mode": "explicit", "chunk_x": 100000,
                                                                   "chunk_y": 100000, "chunk_z": 100000})
    assert stats["num_chunks"] == len(coords)


def test_non_finite_rows_keep_minus_one_and_change_nothing_else(small_room, rng):
    clean = small_room.coords
    dirty = np.insert(clean, rng.choice(len(clean), 500), [np.nan, 0.0, np.inf], axis=0)
    bad = ~np.isfinite(dirty).all(axis=1)
    chunking = {"mode": "explicit", "chunk_x": 2}
    a, sa = segment(clean, params={**ROOM, "seed": 9}, chunking=chunking)
    b, sb = segment(dirty, params={**ROOM, "seed": 9}, chunking=chunking)
    assert (b[bad] == -1).all()
    assert sb["num_unassigned"] == bad.sum()
    np.testing.assert_array_equal(b[~bad], a)


@pytest.mark.parametrize("nan_rows", [0, 1000])
def test_neighbor_radius_changes_the_neighbourhoods_and_nothing_else(nan_rows):
    scene = two_planes_edge(20_000, noise=0.002, seed=2)
    coords = scene.coords
    if nan_rows:
        coords = np.vstack([coords, np.full((nan_rows, 3), np.nan)])
    base = {"epsilon": 0.02, "seed": 4}
    a, _ = segment(coords, params=base)
    same, _ = segment(coords, params={**base, "neighbor_radius": float(np.sqrt(np.float32(0.02)))})
    np.testing.assert_array_equal(a, same)
    # 20k points 2 cm apart: sqrt(epsilon) = 0.14 reaches across the edge, 0.07 does not.
    smaller, _ = segment(coords, params={**base, "neighbor_radius": 0.07})
    assert not np.array_equal(a, smaller)
    assert plane_metrics(scene.labels, smaller[: len(scene.labels)])["f1@0.5"] == 1.0
    # The grower reads the key too: a radius that holds fewer than seed_min_neighbors points fails the gate.
    g = grid()
    grower = tessel.SeededGrower(g, up_normals(len(g)), "use_provided", {"neighbor_radius": 0.025})
    assert grower.params["neighbor_radius"] == pytest.approx(0.025)
    assert grower.grow(1300)[1]["accepted"] is False
    assert tessel.SeededGrower(g, up_normals(len(g)), "use_provided").params["neighbor_radius"] is None


def test_inputs_are_not_modified(small_room):
    coords = small_room.coords.astype(np.float32)
    before = coords.copy()
    params, chunking, merge = {**ROOM, "seed": 1, "tau": 50}, {"mode": "explicit", "chunk_x": 2}, {"angle_deg": 4.0}
    copies = [dict(params), dict(chunking), dict(merge)]
    segment(coords, params=params, chunking=chunking, merge=merge)
    np.testing.assert_array_equal(coords, before)
    assert [params, chunking, merge] == copies


@pytest.mark.parametrize("window", [8, 64])
def test_extraction_stops_after_a_full_window_of_failed_seeds(window, capfd):
    progress = tessel.Progress()
    params = {**ROOM, "seed": 2, "seed_min_neighbors": 10**6, "failrate_window": window, "verbose": True}
    labels, stats = segment(grid(40, 40), params=params, progress=progress)
    (status,) = progress.chunk_statuses()
    assert status["attempts"] == window
    assert status["regions"] == 0 and status["fail_rate"] == 1.0
    assert stats["num_regions_pre_merge"] == 0
    # Seeds that failed the gate reach no growth, so no per-attempt line is printed.
    assert "Region attempts" not in capfd.readouterr().out


def test_verbose_prints_one_line_per_grown_attempt(capfd):
    segment(grid(40, 40), normals=up_normals(1600), normal_mode="use_provided",
            params={"seed": 2, "verbose": True, "tau": 50})
    lines = [l for l in capfd.readouterr().out.splitlines() if l.startswith("Region attempts")]
    assert lines
    assert lines[0] == "Region attempts: failed=0\trolling_fail_rate=0/0.9\tregions=1\tremaining=0"
