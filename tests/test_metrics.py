import numpy as np
import pytest

from planeseg.metrics import plane_metrics, unsupervised_metrics

TRUTH = np.array([0] * 10 + [1] * 10 + [2] * 4 + [-1] * 2)


@pytest.mark.parametrize(
    "pred, expected",
    [
        # Perfect: every plane found once, clutter left out.
        (TRUTH, {"recall@0.5": 1.0, "precision@0.5": 1.0, "f1@0.5": 1.0, "weighted_iou": 1.0,
                 "over_segmented": 0, "under_segmented": 0, "unlabelled_share": 0.0}),
        # Plane 0 split 6 + 4; plane 1 found; plane 2 merged with the clutter (IoU 4/6).
        ([5] * 6 + [6] * 4 + [7] * 10 + [8] * 4 + [8] * 2,
         {"recall@0.5": 1.0, "precision@0.5": 3 / 4, "recall@0.8": 1 / 3, "precision@0.8": 1 / 4,
          "weighted_iou": (10 * 0.6 + 10 * 1.0 + 4 * 4 / 6) / 24, "over_segmented": 1, "under_segmented": 0}),
        # Planes 0 and 1 in one segment (IoU exactly 0.5 does not count), plane 2 unlabelled.
        ([3] * 20 + [-1] * 6,
         {"recall@0.5": 0.0, "precision@0.5": 0.0, "f1@0.5": 0.0, "weighted_iou": (10 * 0.5 + 10 * 0.5) / 24,
          "over_segmented": 0, "under_segmented": 1, "unlabelled_share": 4 / 24}),
        # Nothing labelled.
        ([-1] * 26, {"recall@0.5": 0.0, "precision@0.5": 0.0, "f1@0.5": 0.0, "weighted_iou": 0.0,
                     "unlabelled_share": 1.0, "segments": 0}),
    ],
    ids=["perfect", "split-and-merged-with-clutter", "two-in-one", "empty"],
)
def test_plane_metrics_on_known_layouts(pred, expected):
    got = plane_metrics(TRUTH, np.asarray(pred))
    assert got["planes"] == 3
    for key, value in expected.items():
        assert got[key] == pytest.approx(value), key


def test_small_segments_can_be_left_out_of_precision():
    pred = np.where(TRUTH >= 0, TRUTH, 9)  # the clutter becomes a segment of 2 points
    assert plane_metrics(TRUTH, pred)["precision@0.5"] == pytest.approx(3 / 4)
    got = plane_metrics(TRUTH, pred, min_segment_points=3)
    assert (got["precision@0.5"], got["segments"], got["recall@0.5"]) == (1.0, 3, 1.0)


def test_segment_ids_need_not_be_dense_or_ordered():
    pred = np.where(TRUTH >= 0, 1000 - 7 * TRUTH, -5)
    assert plane_metrics(TRUTH, pred) == plane_metrics(TRUTH, TRUTH)


def test_unsupervised_metrics_measure_distance_to_each_segment_plane():
    i, j = np.meshgrid(np.arange(10), np.arange(10), indexing="ij")
    checker = np.where((i + j).ravel() % 2, 1.0, -1.0)  # uncorrelated with x and y
    a = np.c_[i.ravel() * 0.1, j.ravel() * 0.1, 0.01 * checker]          # z = +-1 cm
    b = np.c_[0.03 * checker, i.ravel() * 0.1 + 5.0, j.ravel() * 0.1]    # x = +-3 cm
    coords = np.vstack([a, b, [[9.0, 9.0, 9.0]]])
    pred = np.r_[np.zeros(100, int), np.full(100, 4), -1]
    got = unsupervised_metrics(coords + 1e6, pred)   # far from the origin: still exact
    assert got["segments"] == 2
    assert got["labelled_share"] == pytest.approx(200 / 201)
    assert got["rms_plane_dist"] == pytest.approx(np.sqrt((0.01**2 + 0.03**2) / 2), rel=1e-6)
