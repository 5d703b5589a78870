import numpy as np
import pytest

import tessel
from scenes import grid


def test_empty_cloud_gets_the_defaults_and_four_statistics():
    eps, tau, alpha, stats = tessel.estimate_parameters(np.zeros((0, 3)))
    assert (eps, tau, alpha) == (pytest.approx(0.03), 80, 29.0)
    assert stats == {"sample_size_used": 0, "tau0": 0, "base_spacing": 0.0, "estimate_seconds": 0.0}
    assert type(stats["tau0"]) is int


def test_statistics_keys_types_and_proposal_types(rng):
    coords = rng.random((2000, 3)) * [1, 1, 0.001]
    eps, tau, alpha, stats = tessel.estimate_parameters(coords, 500, 3)
    assert [type(v) for v in (eps, tau, alpha)] == [float, int, float]
    assert list(stats) == ["sample_size_used", "tau0", "base_spacing", "estimate_seconds", "seed"]
    assert [type(v) for v in stats.values()] == [int, float, float, float, int]
    assert stats["sample_size_used"] == 500 and stats["seed"] == 3
    assert tau == round(stats["tau0"]) >= 3
    assert 28.0 < alpha < 30.0


@pytest.mark.parametrize("sample_size, used", [(0, 1), (1, 1), (10**9, 2601)])
def test_sample_size_is_clamped_to_the_cloud(sample_size, used):
    assert tessel.estimate_parameters(grid(), sample_size)[3]["sample_size_used"] == used


def test_fewer_than_eight_points_fall_back_to_a_five_centimetre_spacing():
    eps, tau, _, stats = tessel.estimate_parameters(np.eye(3))
    assert stats["base_spacing"] == pytest.approx(0.05)
    assert eps == pytest.approx(0.5)  # no planar neighbourhood: the largest ladder value, 10 x 0.05
    assert tau == 3


def test_same_seed_same_proposals_and_another_seed_may_differ(rng):
    coords = np.vstack([rng.random((3000, 3)) * [2, 2, 0.01], rng.random((3000, 3))])
    first = tessel.estimate_parameters(coords, 200, 5)[:3]
    assert tessel.estimate_parameters(coords, 200, 5)[:3] == first
    others = {tessel.estimate_parameters(coords, 200, s)[:3] for s in range(6, 12)}
    assert others != {first}


@pytest.mark.parametrize("step", [0.01, 0.02, 0.1])
def test_spacing_of_a_regular_grid_is_its_eighth_neighbour_distance(step):
    # On a square grid the 8 nearest points of an inner point (itself included) end at the
    # diagonal neighbours: sqrt(2) x step.
    coords = grid(60, 60, spacing=step)
    _, _, _, stats = tessel.estimate_parameters(coords, 5000, 1)
    assert stats["base_spacing"] == pytest.approx(np.sqrt(2) * step, rel=1e-5)


def test_invalid_rows_are_never_sampled():
    coords = grid(30, 30)
    dirty = np.vstack([coords, np.full((500, 3), np.nan)])
    stats = tessel.estimate_parameters(dirty, 10**6, 2)[3]
    assert stats["sample_size_used"] == 900
    assert tessel.estimate_parameters(np.full((4, 3), np.inf))[3]["sample_size_used"] == 0


@pytest.mark.parametrize("bad", [-1, 2**32, 1.5])
def test_sample_size_and_seed_must_be_unsigned_32_bit(bad):
    with pytest.raises(TypeError):
        tessel.estimate_parameters(grid(5, 5), bad)
    with pytest.raises(TypeError):
        tessel.estimate_parameters(grid(5, 5), 10, bad)
