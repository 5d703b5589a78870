import threading

import numpy as np
import pytest

import tessel
from scenes import grid, tilted, up_normals

CENTRE = 25 * 51 + 25  # the middle point of the default 51 x 51 grid


def grower(coords, normals=None, **params):
    mode = "compute" if normals is None else "use_provided"
    return tessel.SeededGrower(coords, normals, mode, params)


def grown(g, seed):
    indices, info = g.grow(seed)
    assert indices.dtype == np.int32 and indices.ndim == 1
    assert info == {"seed_index": seed, "num_points": len(indices), "accepted": len(indices) > 0}
    assert np.all(np.diff(indices) > 0)
    return indices


# --- point arrays and argument validation -------------------------------------------------

@pytest.mark.parametrize(
    "coords",
    [np.zeros(6), np.zeros((4, 2)), np.zeros((4, 4)), np.zeros(3), np.float64(1.0), np.zeros((4, 3, 1))],
    ids=["(N,)", "(N,2)", "(N,4)", "(3,)", "scalar", "(N,3,1)"],
)
def test_coords_of_wrong_shape_are_refused(coords):
    with pytest.raises(RuntimeError, match=r"^coords must be a \(N,3\) float array$"):
        tessel.SeededGrower(coords)


@pytest.mark.parametrize(
    "convert",
    [
        lambda a: a.astype(np.float64),
        lambda a: np.asfortranarray(a),
        lambda a: np.repeat(a, 2, axis=0)[::2],
        lambda a: a.tolist(),
        lambda a: a.astype(np.int64),
    ],
    ids=["float64", "fortran", "strided", "nested-list", "int64"],
)
def test_coords_are_cast_and_copied_row_major(convert):
    coords = grid(11, 11, spacing=1.0).astype(np.float32)
    params = {"epsilon": 2.0, "tau": 3, "enable_seed_gating": False}
    reference = grown(grower(coords, up_normals(len(coords)), **params), 60)
    got = grown(grower(convert(coords), up_normals(len(coords)), **params), 60)
    np.testing.assert_array_equal(got, reference)
    assert len(got) == 121


def test_coords_that_numpy_cannot_convert_are_a_type_error():
    with pytest.raises(TypeError):
        tessel.SeededGrower(object())


def test_empty_cloud_builds_and_every_seed_is_out_of_range():
    g = tessel.SeededGrower(np.zeros((0, 3)))
    assert len(g) == 0
    with pytest.raises(RuntimeError, match="^seed_index out of range$"):
        g.grow(0)


@pytest.mark.parametrize(
    "mode, normals, message",
    [
        ("use_provided", None, r"^normal_mode='use_provided' requires normals$"),
        ("use_existing", None, r"^normal_mode='use_provided' requires normals$"),
        ("Compute", None, r"^normal_mode must be 'compute' or 'use_provided'$"),
        ("", None, r"^normal_mode must be 'compute' or 'use_provided'$"),
        ("use_provided", np.zeros((10, 3)), r"^normals must have the same number of rows as coords$"),
        ("use_provided", np.zeros((9, 2)), r"^normals must be a \(N,3\) float array$"),
        ("use_provided", np.zeros(27), r"^normals must be a \(N,3\) float array$"),
    ],
)
def test_normal_mode_errors(mode, normals, message):
    with pytest.raises(RuntimeError, match=message):
        tessel.SeededGrower(np.zeros((9, 3)), normals, mode)


@pytest.mark.parametrize("junk", [np.zeros((2, 7)), "not an array", object()])
def test_compute_mode_ignores_whatever_normals_are_given(junk):
    assert len(tessel.SeededGrower(np.zeros((9, 3)), junk, "compute")) == 9


def test_unconvertible_normals_raise_numpy_own_error():
    with pytest.raises(ValueError):
        tessel.SeededGrower(np.zeros((2, 3)), [["a", "b", "c"], ["d", "e", "f"]], "use_provided")


def test_use_existing_is_a_synonym_of_use_provided():
    coords = grid()
    normals = up_normals(len(coords))
    a = grown(tessel.SeededGrower(coords, normals, "use_existing"), CENTRE)
    b = grown(tessel.SeededGrower(coords, normals, "use_provided"), CENTRE)
    np.testing.assert_array_equal(a, b)


def test_a_bad_dictionary_value_is_reported_before_a_bad_normal_mode():
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type"):
        tessel.SeededGrower(np.zeros((3, 3)), None, "bogus", {"tau": "many"})


@pytest.mark.parametrize("params", [[("tau", 3)], "tau=3", 3])
def test_params_must_be_a_dictionary(params):
    with pytest.raises(TypeError):
        tessel.SeededGrower(np.zeros((3, 3)), None, "compute", params)


# --- parameter reading --------------------------------------------------------------------

DEFAULTS = {
    "epsilon": 0.03, "refit_multiplier": 2.0, "epsilon_multiplier": 3.0, "epsilon_multiplier_average": 1.5,
    "search_radius_approx": 0.0, "tau": 80, "first_refit": 4, "alpha_deg": 27.0, "confidence": 0.99,
    "max_dist_from_cent": 50.0, "oriented_normals": False, "verbose": False, "perform_cca": True,
    "enable_seed_gating": True, "seed_min_neighbors": 10, "seed_planarity_min": 0.2,
    "seed_scattering_max": 0.35, "failrate_window": 64, "failrate_threshold": 0.9, "neighbor_radius": None,
}
NUMERIC_DEFAULTS = {k: v for k, v in DEFAULTS.items() if v is not None}


def effective(**params):
    return tessel.SeededGrower(np.zeros((0, 3)), params=params).params


def test_defaults_and_key_order():
    got = effective()
    assert list(got) == list(DEFAULTS)
    assert got["neighbor_radius"] is None
    assert {k: got[k] for k in NUMERIC_DEFAULTS} == pytest.approx(NUMERIC_DEFAULTS)


@pytest.mark.parametrize(
    "key, value, expected",
    [
        ("epsilon", 0, 1e-6), ("epsilon", -3.0, 1e-6), ("epsilon", float("nan"), 1e-6), ("epsilon", 1, 1.0),
        ("epsilon", np.float64(0.5), 0.5), ("epsilon_multiplier", 0.0, 0.001),
        ("refit_multiplier", -2.0, -2.0), ("search_radius_approx", 0.25, 0.25),
        ("tau", 1, 3), ("tau", 4294967295, 4294967295), ("tau", np.int64(120), 120), ("first_refit", 0, 0),
        ("alpha_deg", 35, 35.0), ("alpha_deg", -10.0, -10.0),
        ("confidence", 2, 0.999999), ("confidence", 0.0, 1e-4), ("max_dist_from_cent", 0.0, 0.001),
        ("seed_min_neighbors", 0, 3), ("seed_planarity_min", 1.5, 1.0), ("seed_planarity_min", -1, 0.0),
        ("seed_scattering_max", 7, 1.0), ("failrate_window", 2, 8),
        ("failrate_threshold", 0.1, 0.5), ("failrate_threshold", 1.0, 0.999),
        ("verbose", None, False), ("oriented_normals", 1, True), ("perform_cca", np.bool_(False), False),
        ("enable_seed_gating", 0, False), ("neighbor_radius", 0.2, 0.2), ("neighbor_radius", 0.0, 1e-3),
    ],
)
def test_values_are_converted_and_clamped(key, value, expected):
    got = effective(**{key: value})
    assert got[key] == pytest.approx(expected, rel=1e-6)
    others = {k: got[k] for k in NUMERIC_DEFAULTS if k != key}
    assert others == pytest.approx({k: v for k, v in NUMERIC_DEFAULTS.items() if k != key})


@pytest.mark.parametrize(
    "key, value",
    [("tau", 5.0), ("tau", -1), ("tau", 2**32), ("first_refit", "4"), ("verbose", "yes"),
     ("epsilon", "0.1"), ("epsilon", None), ("seed_min_neighbors", 1.5), ("perform_cca", [])],
)
def test_values_of_the_wrong_kind_raise_the_cast_error(key, value):
    with pytest.raises(RuntimeError, match=f"^Unable to cast Python instance of type .* for key '{key}'$"):
        effective(**{key: value})


def test_unknown_keys_are_ignored_and_the_dictionary_is_not_changed():
    params = {"tau": 10, "no_such_key": object()}
    before = dict(params)
    assert effective(**params)["tau"] == 10
    assert params == before


# --- progress object ----------------------------------------------------------------------

def test_progress_object_semantics():
    assert tessel.Progress is tessel._TesselProgress
    p = tessel.Progress()
    assert (p.done(), p.total(), p.cancelled(), p.chunk_statuses()) == (0, 0, False, [])
    p.request_cancel()
    assert p.cancelled()
    p.reset(10)
    assert (p.done(), p.total(), p.cancelled()) == (0, 10, False)
    p.reset(-5)
    assert p.total() == -5
    p.reset(2**63 - 1)
    assert p.total() == 2**63 - 1


@pytest.mark.parametrize("bad", [2**63, 1.5, "3", None])
def test_progress_reset_refuses_what_is_not_a_signed_64_bit_int(bad):
    with pytest.raises(TypeError):
        tessel.Progress().reset(bad)


# --- growth -------------------------------------------------------------------------------

def test_flat_grid_grows_completely_with_provided_and_computed_normals():
    coords = grid()
    assert len(grown(grower(coords, up_normals(len(coords))), CENTRE)) == 2601
    assert len(grown(grower(coords), CENTRE)) == 2601


@pytest.mark.parametrize("seed", [-1, 2**32, 1.0])
def test_grow_refuses_seeds_that_are_not_unsigned_32_bit(seed):
    with pytest.raises(TypeError):
        grower(grid()).grow(seed)


def test_seed_gate_refuses_a_sparse_seed_that_grows_without_the_gate():
    coords = grid()
    normals = up_normals(len(coords))
    corner = 0  # about 60 points within sqrt(epsilon), against about 235 in the middle
    assert len(grown(grower(coords, normals, seed_min_neighbors=100), CENTRE)) == 2601
    assert len(grown(grower(coords, normals, seed_min_neighbors=100), corner)) == 0
    assert len(grown(grower(coords, normals, seed_min_neighbors=100, enable_seed_gating=False), corner)) == 2601


def test_seed_gate_refuses_a_scattered_neighbourhood(rng):
    plane = grid()
    clutter = plane[CENTRE] + rng.uniform(-0.15, 0.15, (300, 3))
    coords = np.vstack([plane, clutter])
    normals = up_normals(len(coords))
    assert len(grown(grower(coords, normals), CENTRE)) == 0
    got = grown(grower(coords, normals, enable_seed_gating=False), CENTRE)
    assert np.isin(np.arange(2601), got).all()


def test_parallel_patch_closer_than_the_radius_is_refused_by_the_plane_test():
    lower, upper = grid(z=0.0), grid(z=0.1)
    coords = np.vstack([lower, upper])
    # Both patches lie in the seed's neighbourhood, which the seed gate would call scattered.
    got = grown(grower(coords, up_normals(len(coords)), enable_seed_gating=False), CENTRE)
    np.testing.assert_array_equal(got, np.arange(2601))


@pytest.mark.parametrize("tilt, alpha, accepted", [(30, 27, False), (30, 35, True), (20, 27, True)])
def test_normal_angle_near_the_centroid(tilt, alpha, accepted):
    coords = grid()
    normals = up_normals(len(coords))
    neighbour = CENTRE + 2
    normals[neighbour] = tilted(tilt)
    got = grown(grower(coords, normals, alpha_deg=alpha), CENTRE)
    assert (neighbour in got) == accepted
    assert len(got) == 2600 + accepted


@pytest.mark.parametrize("tilt, accepted", [(18, True), (20, False)])
def test_angular_tolerance_narrows_with_distance_from_the_centroid(tilt, accepted):
    # Half of max_dist_from_cent from the centroid the test needs an angle below about 19 degrees.
    coords = grid()
    normals = up_normals(len(coords))
    edge = 25 * 51 + 50  # (0.5, 1.0): 0.5 from the centroid (0.5, 0.5)
    normals[edge] = tilted(tilt, axis="y")
    got = grown(grower(coords, normals, max_dist_from_cent=1.0), CENTRE)
    assert (edge in got) == accepted


@pytest.mark.parametrize("oriented, accepted", [(False, True), (True, False)])
def test_opposite_normal_counts_only_without_orientation(oriented, accepted):
    coords = grid()
    normals = up_normals(len(coords))
    normals[CENTRE + 3] = -normals[CENTRE + 3]
    got = grown(grower(coords, normals, oriented_normals=oriented), CENTRE)
    assert (CENTRE + 3 in got) == accepted


@pytest.mark.parametrize("tau, size", [(80, 0), (79, 79)])
def test_region_below_tau_is_discarded(tau, size):
    coords = grid(9, 9)[:79]
    got = grown(grower(coords, up_normals(79), tau=tau, enable_seed_gating=False), 40)
    assert len(got) == size


def test_component_split_cuts_a_strip_that_growth_crosses():
    left = grid(26, 51)  # x from 0 to 0.5
    right = grid(26, 51, x0=0.6)  # an empty strip 0.1 wide between them
    coords = np.vstack([left, right])
    normals = up_normals(len(coords))
    seed = 13 * 51 + 25
    np.testing.assert_array_equal(grown(grower(coords, normals), seed), np.arange(len(left)))
    assert len(grown(grower(coords, normals, perform_cca=False), seed)) == len(coords)


def test_grow_is_deterministic_and_safe_from_several_threads(rng):
    coords = grid() + rng.normal(0, 0.002, (2601, 3))
    g = grower(coords)
    first = grown(g, CENTRE)
    assert len(first) > 2000
    results = [None] * 4

    def work(k):
        results[k] = g.grow(CENTRE)[0]

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results + [grown(g, CENTRE)]:
        np.testing.assert_array_equal(r, first)


# --- non-finite coordinates ---------------------------------------------------------------

@pytest.mark.parametrize("gating", [True, False])
@pytest.mark.parametrize("normal_mode", ["compute", "use_provided"])
def test_non_finite_rows_change_nothing_for_finite_points(rng, gating, normal_mode):
    clean = grid() + rng.normal(0, 0.003, (2601, 3))
    clean = np.vstack([clean, grid(z=0.5)])  # a second plane to keep the region honest
    bad = np.array([[np.nan, 0, 0], [0, np.inf, 0], [0, 0, -np.inf], [np.nan] * 3, [1e38, np.nan, 1]])
    rows = rng.choice(len(clean) + 300, 300, replace=False)
    dirty = np.empty((len(clean) + 300, 3))
    mask = np.ones(len(dirty), bool)
    mask[rows] = False
    dirty[mask] = clean
    dirty[~mask] = bad[np.arange(300) % len(bad)]
    finite_ids = np.flatnonzero(mask)

    params = {"enable_seed_gating": gating}
    normals_clean = normals_dirty = None
    if normal_mode == "use_provided":
        normals_clean = up_normals(len(clean))
        normals_dirty = up_normals(len(dirty))
    g_clean = tessel.SeededGrower(clean, normals_clean, normal_mode, params)
    g_dirty = tessel.SeededGrower(dirty, normals_dirty, normal_mode, params)
    for seed in (CENTRE, 17, 2601 + CENTRE):
        expected = finite_ids[grown(g_clean, seed)]
        np.testing.assert_array_equal(grown(g_dirty, finite_ids[seed]), expected)
        assert len(expected) > 2000
    for seed in rows[:5]:
        assert len(grown(g_dirty, int(seed))) == 0
