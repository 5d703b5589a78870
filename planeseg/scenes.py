"""Generated point clouds with ground-truth plane labels."""

from __future__ import annotations

import numpy as np


def _sample_rectangle(rng, n, origin, u, v):
    """n points uniform on the rectangle origin + a*u + b*v, a and b in [0, 1)."""
    a = rng.random((n, 1))
    b = rng.random((n, 1))
    return origin + a * u + b * v


def box_room(points: int = 200_000, size=(8.0, 6.0, 3.0), noise: float = 0.0, seed: int = 0,
             with_table: bool = True):
    """A closed room: floor, ceiling, four walls and, optionally, a box-shaped table.

    Points are spread over the faces in proportion to their area. Returns (coords, labels):
    float64 (points, 3) coordinates in metres and one int32 plane label per point.
    noise is the standard deviation of a Gaussian offset along each face's normal.
    """
    rng = np.random.default_rng(seed)
    sx, sy, sz = size
    o = np.zeros(3)
    ex, ey, ez = np.eye(3)
    faces = [  # origin, u, v, normal
        (o, sx * ex, sy * ey, ez),                   # floor
        (sz * ez, sx * ex, sy * ey, ez),             # ceiling
        (o, sx * ex, sz * ez, ey),                   # wall y = 0
        (sy * ey, sx * ex, sz * ez, ey),             # wall y = sy
        (o, sy * ey, sz * ez, ex),                   # wall x = 0
        (sx * ex, sy * ey, sz * ez, ex),             # wall x = sx
    ]
    if with_table:
        corner = np.array([0.3 * sx, 0.4 * sy, 0.0])
        w, d, h = 1.6, 0.9, 0.75
        faces += [
            (corner + h * ez, w * ex, d * ey, ez),    # table top
            (corner, w * ex, h * ez, ey),             # sides
            (corner + d * ey, w * ex, h * ez, ey),
            (corner, d * ey, h * ez, ex),
            (corner + w * ex, d * ey, h * ez, ex),
        ]
    areas = np.array([np.linalg.norm(np.cross(u, v)) for _, u, v, _ in faces])
    counts = np.floor(points * areas / areas.sum()).astype(int)
    counts[0] += points - counts.sum()
    coords, labels = [], []
    for label, ((origin, u, v, normal), n) in enumerate(zip(faces, counts)):
        p = _sample_rectangle(rng, n, origin, u, v)
        if noise:
            p += rng.normal(0.0, noise, (n, 1)) * normal
        coords.append(p)
        labels.append(np.full(n, label, np.int32))
    return np.concatenate(coords), np.concatenate(labels)
