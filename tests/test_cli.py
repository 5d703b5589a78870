import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import quarvo
import tessel
from planeseg import cli, progress as progress_mod
from planeseg.io import label_colours, read_points, recentre, write_labelled_ply
from planeseg.scenes import room

DATA = Path(__file__).resolve().parents[2] / "shared" / "data"


@pytest.fixture
def cloud(rng):
    """200 points with normals, off the origin."""
    coords = rng.uniform(-1, 1, (200, 3)) + [10.0, 20.0, 3.0]
    normals = rng.normal(size=(200, 3))
    return coords, normals / np.linalg.norm(normals, axis=1, keepdims=True)


def write_ply(path, coords, normals, text):
    from plyfile import PlyData, PlyElement

    v = np.empty(len(coords), [("x", "f8"), ("y", "f8"), ("z", "f8"), ("nx", "f4"), ("ny", "f4"), ("nz", "f4")])
    v["x"], v["y"], v["z"] = coords.T
    v["nx"], v["ny"], v["nz"] = normals.T
    PlyData([PlyElement.describe(v, "vertex")], text=text).write(str(path))


def write_pcd(path, coords, normals, binary):
    from pypcd4 import Encoding, PointCloud

    pc = PointCloud.from_xyz_points(coords.astype(np.float32)) if normals is None else PointCloud.from_points(
        np.c_[coords, normals].astype(np.float32), ("x", "y", "z", "normal_x", "normal_y", "normal_z"),
        (np.float32,) * 6)
    pc.save(str(path), encoding=Encoding.BINARY if binary else Encoding.ASCII)


def write_las(path, coords, scale=0.001):
    import laspy

    header = laspy.LasHeader(point_format=3, version="1.2")
    header.offsets = np.floor(coords.min(axis=0))
    header.scales = [scale] * 3
    las = laspy.LasData(header)
    las.x, las.y, las.z = coords.T
    las.write(str(path))


WRITERS = {
    "ascii.ply": (lambda p, c, n: write_ply(p, c, n, True), 1e-12, True),
    "binary.ply": (lambda p, c, n: write_ply(p, c, n, False), 1e-12, True),
    "ascii.pcd": (lambda p, c, n: write_pcd(p, c, n, False), 1e-5, True),
    "binary.pcd": (lambda p, c, n: write_pcd(p, c, n, True), 1e-5, True),
    "cloud.las": (lambda p, c, n: write_las(p, c), 1e-3, False),
    "cloud.laz": (lambda p, c, n: write_las(p, c), 1e-3, False),
    "cloud.xyz": (lambda p, c, n: np.savetxt(p, np.c_[c, n]), 1e-12, True),
    "cloud.csv": (lambda p, c, n: np.savetxt(p, c, delimiter=",", header="x,y,z", comments=""), 1e-12, False),
    "cloud.npy": (lambda p, c, n: np.save(p, c), 1e-12, False),
    "cloud.npz": (lambda p, c, n: np.savez(p, coords=c, normals=n), 1e-12, True),
}


@pytest.mark.parametrize("name", list(WRITERS))
def test_reader_round_trips(tmp_path, cloud, name):
    write, tolerance, has_normals = WRITERS[name]
    coords, normals = cloud
    path = tmp_path / name
    write(path, coords, normals)
    got, got_normals = read_points(path)
    assert got.dtype == np.float64 and got.shape == coords.shape
    np.testing.assert_allclose(got, coords, rtol=0, atol=tolerance)
    if has_normals:
        np.testing.assert_allclose(got_normals, normals, atol=1e-6)
    else:
        assert got_normals is None


@pytest.mark.parametrize("name, rows", [("table_scene_mug_stereo_textured.pcd", 307200), ("room_scan1.pcd", 112586),
                                        ("autzen_trim.las", 110000), ("CSite3_orig-utm.pcd", 377028)])
def test_shared_scans_load(name, rows):
    path = DATA / name
    if not path.exists():
        pytest.skip(f"{path} not present")
    coords, _ = read_points(path)
    assert coords.shape == (rows, 3)
    assert np.isfinite(coords).all(axis=1).sum() > rows // 2


def test_utm_coordinates_keep_millimetres(tmp_path, rng):
    # A 50 m tile at UTM-sized coordinates with millimetre steps: float32 alone has a step of
    # half a metre there, the re-centred cloud keeps the millimetres.
    coords = np.round(rng.uniform(0, 50, (2000, 3)) + [512_345.0, 5_412_345.0, 250.0], 3)
    write_las(tmp_path / "utm.las", coords)
    read, _ = read_points(tmp_path / "utm.las")
    local, origin = recentre(read)
    assert local.dtype == np.float32
    assert np.abs(local.astype(np.float64) + origin - coords).max() < 1e-5
    assert np.abs(read.astype(np.float32).astype(np.float64) - coords).max() > 0.05  # why recentre exists
    # ... and the command writes the coordinates back in the file's frame.
    assert cli.main(["segment", str(tmp_path / "utm.las"), "-o", str(tmp_path / "out.ply"), "--quiet",
                     "--param", "epsilon=1.0", "--param", "seed=1"]) == 0
    back, _ = read_points(tmp_path / "out.ply")
    assert np.abs(back - coords).max() < 1e-6


def test_labelled_ply_holds_labels_and_colours(tmp_path, cloud):
    from plyfile import PlyData

    coords, _ = cloud
    labels = np.arange(len(coords)) % 5 - 1
    write_labelled_ply(tmp_path / "l.ply", coords, labels)
    v = PlyData.read(str(tmp_path / "l.ply"))["vertex"]
    np.testing.assert_array_equal(np.c_[v["x"], v["y"], v["z"]], coords)
    np.testing.assert_array_equal(v["label"], labels)
    rgb = np.c_[v["red"], v["green"], v["blue"]]
    assert (rgb[labels < 0] == 160).all()
    assert len({tuple(c) for c in label_colours(np.arange(20))}) == 20


def one_line_error(capsys):
    err = capsys.readouterr().err.strip().splitlines()
    assert "Traceback" not in "\n".join(err)
    errors = [line for line in err if line.startswith("planeseg: error:")]
    assert len(errors) == 1, err
    return errors[0]


@pytest.fixture
def small_files(tmp_path):
    coords = room(3000, noise=0.003, seed=3).coords
    np.save(tmp_path / "pts.npy", coords)
    np.save(tmp_path / "empty.npy", np.zeros((0, 3)))
    np.save(tmp_path / "labels.npy", np.zeros(3000, np.int32))
    np.save(tmp_path / "short.npy", np.zeros(10, np.int32))
    (tmp_path / "pts.obj").write_text("v 0 0 0\n")
    (tmp_path / "broken.ply").write_text("not a ply\n")
    return tmp_path


@pytest.mark.parametrize("argv, message", [
    (["segment", "missing.npy", "-o", "o.npy"], "no such file"),
    (["segment", "pts.obj", "-o", "o.npy"], "unknown point file extension '.obj'"),
    (["segment", "broken.ply", "-o", "o.npy"], "cannot read it as PLY"),
    (["segment", "empty.npy", "-o", "o.npy"], "holds no points"),
    (["segment", "pts.npy", "-o", "o.txt"], "output must end in .ply or .npy"),
    (["segment", "pts.npy", "-o", "nofolder/o.npy"], "does not exist"),
    (["segment", "pts.npy", "-o", "o.npy", "--param", "tau=abc"], "Unable to cast"),
    (["segment", "pts.npy", "-o", "o.npy", "--param", "epsilon"], "expected key=value"),
    (["segment", "pts.npy", "-o", "o.npy", "--method", "quarvo", "--estimate"], "--estimate proposes tessel"),
    (["segment", "pts.npy", "-o", "o.npy", "--normals", "file"], "the file has no normals"),
    (["merge", "pts.npy", "short.npy", "-o", "o.npy"], "10 labels for 3000 points"),
    (["features", "pts.npy", "--radius", "0", "-o", "f.npz"], "--radius must be positive"),
    (["features", "pts.npy", "--radius", "0.1", "-o", "f.npy"], "output must end in .npz"),
])
def test_bad_input_gets_one_line_and_exit_1(small_files, monkeypatch, capsys, argv, message):
    monkeypatch.chdir(small_files)
    assert cli.main(argv + ["--quiet"]) == 1
    assert message in one_line_error(capsys)


def test_usage_errors_exit_2(capsys):
    with pytest.raises(SystemExit) as e:
        cli.main(["segment"])
    assert e.value.code == 2


def test_commands_write_their_outputs(small_files, monkeypatch, capsys):
    monkeypatch.chdir(small_files)
    assert cli.main(["segment", "pts.npy", "-o", "t.npy", "--quiet", "--estimate", "--param", "bogus=1",
                     "--param", "chunking.enabled=false", "--png", "t.png"]) == 0
    out = capsys.readouterr()
    assert "unknown parameter 'bogus' ignored" in out.err and "estimate_parameters: epsilon" in out.out
    labels = np.load("t.npy")
    assert labels.dtype == np.int32 and labels.shape == (3000,) and labels.max() >= 0
    assert Path("t.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert cli.main(["segment", "pts.npy", "-o", "q.ply", "--method", "quarvo", "--quiet",
                     "--param", "epsilon=0.01", "--param", "seed=0"]) == 0
    assert cli.main(["merge", "pts.npy", "t.npy", "-o", "m.npy", "--quiet"]) == 0
    assert np.load("m.npy").shape == (3000,)
    assert cli.main(["features", "pts.npy", "--radius", "0.2", "-o", "f.npz", "--quiet"]) == 0
    with np.load("f.npz") as f:
        assert f["eigenvalues"].shape == f["normals"].shape == (3000, 3)


def test_python_dash_m_is_the_command(tmp_path):
    done = subprocess.run([sys.executable, "-m", "planeseg", "features", str(tmp_path / "none.npy"), "--radius",
                           "1", "-o", str(tmp_path / "f.npz")], capture_output=True, text=True)
    assert done.returncode == 1 and done.stderr.strip().startswith("planeseg: error:")


def test_demo_writes_files_and_quality(tmp_path, capsys):
    assert cli.main(["demo", "--folder", str(tmp_path / "d"), "--points", "20000", "--quiet"]) == 0
    out = capsys.readouterr().out
    for method in ("tessel", "quarvo"):
        assert f"{method}:" in out and "F1" in out
        labels = np.load(tmp_path / "d" / f"{method}_labels.npy")
        assert labels.shape == (20000,)
        coords, _ = read_points(tmp_path / "d" / f"{method}.ply")
        assert coords.shape == (20000, 3)
        assert (tmp_path / "d" / f"{method}.png").stat().st_size > 10_000


def test_bar_shows_chunks_for_tessel(monkeypatch, capsys):
    monkeypatch.setattr(progress_mod, "show_bar", lambda quiet: True)
    coords = room(20000, noise=0.003, seed=1).coords.astype(np.float32)
    p = tessel.Progress()
    (labels, stats), cancelled = progress_mod.run_with_progress(
        lambda: tessel.segment_planar_regions(coords, params={"epsilon": 0.05}, progress=p), p, "tessel",
        poll_seconds=0.01)
    assert not cancelled and len(labels) == 20000
    err = capsys.readouterr().err
    assert "tessel" in err and "chunks" in err and "regions" in err


def sigint_when(condition):
    """Sends SIGINT to this process once condition() holds (polled from a helper thread)."""
    def fire():
        deadline = time.monotonic() + 30
        while not condition() and time.monotonic() < deadline:
            time.sleep(0.002)
        os.kill(os.getpid(), signal.SIGINT)

    t = threading.Thread(target=fire, daemon=True)
    t.start()
    return t


def test_ctrl_c_cancels_quarvo_and_keeps_partial_planes():
    coords = room(400_000, noise=0.003, seed=1).coords.astype(np.float32)
    p = quarvo.Progress()
    params = {"epsilon": 0.01, "max_iterations_per_plane": 20000, "seed": 0}
    sigint_when(lambda: p.planes_found() >= 1)
    (labels, info), cancelled = progress_mod.run_with_progress(
        lambda: quarvo.segment_planes(coords, params=params, progress=p), p, "quarvo", quiet=True,
        poll_seconds=0.01)
    assert cancelled and info["cancelled"] and p.cancelled()
    assert 1 <= info["num_planes"] < 20
    assert labels.max() == info["num_planes"] - 1


def test_ctrl_c_in_the_command_writes_the_partial_result(tmp_path, capsys, monkeypatch):
    np.save(tmp_path / "room.npy", room(400_000, noise=0.003, seed=1).coords)
    real = progress_mod.run_with_progress

    def spy(call, progress, *a, **k):
        sigint_when(lambda: progress.planes_found() >= 1)
        return real(call, progress, *a, **k)

    monkeypatch.setattr(cli, "run_with_progress", spy)
    code = cli.main(["segment", str(tmp_path / "room.npy"), "-o", str(tmp_path / "q.npy"), "--method", "quarvo",
                     "--quiet", "--param", "epsilon=0.01", "--param", "max_iterations_per_plane=20000"])
    assert code == 130
    assert "planes found so far" in capsys.readouterr().err
    assert np.load(tmp_path / "q.npy").max() >= 0
