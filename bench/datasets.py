"""The clouds the benchmark runs on: generated scenes with ground truth and the real scans
of shared/data (no ground truth). Real clouds are re-centred in float64 before the float32
cast; their spacing and noise (in the file's unit) were read off the data by hand."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import numpy as np

from planeseg import scenes
from planeseg.io import read_points, recentre

DATA = Path(__file__).resolve().parents[2] / "shared" / "data"


@dataclass
class Cloud:
    name: str
    coords: np.ndarray          # float32, local origin
    truth: np.ndarray | None    # ground-truth plane labels, or None
    spacing: float
    noise: float


# file, spacing, noise (file units)
REAL = {
    "table_scene": ("table_scene_mug_stereo_textured.pcd", 0.003, 0.002),   # metres, stereo camera
    "room_scan1": ("room_scan1.pcd", 0.03, 0.01),                          # metres, laser
    "autzen": ("autzen_trim.las", 2.5, 0.3),                                # feet, aerial lidar
    "csite3": ("CSite3_orig-utm.pcd", 0.7, 0.3),                            # metres, float32 UTM steps
}


def synthetic(name: str, points: int, seed: int = 0) -> Cloud:
    noise = {"room": 0.003, "city": 0.05, "edge": 0.002, "parallel": 0.002}[name]
    scene = scenes.SCENES[name](points, noise=noise, clutter=0.02, seed=seed)
    return Cloud(f"{name}", scene.coords.astype(np.float32), scene.labels, scene.spacing, noise)


def real(name: str) -> Cloud | None:
    file, spacing, noise = REAL[name]
    path = DATA / file
    if not path.exists():
        return None
    coords, _ = read_points(path)
    coords = coords[np.isfinite(coords).all(axis=1)]
    local, _ = recentre(coords)
    return Cloud(name, local, None, spacing, noise)
