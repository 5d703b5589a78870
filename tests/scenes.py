"""Small deterministic scenes for the tests."""

import numpy as np

UP = np.array([0.0, 0.0, 1.0])


def grid(nx=51, ny=51, spacing=0.02, z=0.0, x0=0.0, y0=0.0):
    """A flat nx * ny grid in the plane z, row-major in x then y (index = i * ny + j)."""
    i, j = np.meshgrid(np.arange(nx), np.arange(ny), indexing="ij")
    return np.c_[x0 + i.ravel() * spacing, y0 + j.ravel() * spacing, np.full(i.size, z)]


def up_normals(n):
    return np.tile(UP, (n, 1))


def tilted(angle_deg, axis="x"):
    """The up normal rotated by angle_deg about the x (or y) axis."""
    a = np.radians(angle_deg)
    return np.array([0.0, np.sin(a), np.cos(a)]) if axis == "x" else np.array([np.sin(a), 0.0, np.cos(a)])


def box_room(points_per_face=4000, size=(4.0, 3.0, 2.5), noise=0.0, seed=0):
    """Points on the six faces of an axis-aligned box; returns (coords, face label per point)."""
    rng = np.random.default_rng(seed)
    sx, sy, sz = size
    faces = []
    for axis, extent in ((2, sz), (1, sy), (0, sx)):
        others = [a for a in range(3) if a != axis]
        for value in (0.0, extent):
            p = np.empty((points_per_face, 3))
            p[:, axis] = value
            for a in others:
                p[:, a] = rng.uniform(0, size[a], points_per_face)
            p[:, axis] += rng.normal(0, noise, points_per_face) if noise else 0.0
            faces.append(p)
    coords = np.concatenate(faces)
    labels = np.repeat(np.arange(len(faces)), points_per_face)
    return coords, labels
