"""Generated point clouds with ground-truth plane labels, deterministic by seed.

Every generator returns a :class:`Scene` with exactly ``points`` points: the planar faces
share ``points - round(points * clutter)`` points in proportion to their area (times a
density weight, so that walls seen from above can be sparser), and the clutter points,
spread uniformly through the scene's box, carry the label -1.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np


@dataclass
class Scene:
    name: str
    coords: np.ndarray        # (N, 3) float64
    labels: np.ndarray        # (N,) int32 ground-truth plane, -1 for clutter
    spacing: float            # typical distance between neighbouring points on a face
    info: dict = field(default_factory=dict)

    @property
    def num_planes(self) -> int:
        return int(self.labels.max()) + 1 if len(self.labels) else 0


@dataclass
class Face:
    """The rectangle origin + a*u + b*v for a, b in [0, 1); density scales its share of points."""

    origin: np.ndarray
    u: np.ndarray
    v: np.ndarray
    density: float = 1.0

    @property
    def area(self) -> float:
        return float(np.linalg.norm(np.cross(self.u, self.v)))

    @property
    def normal(self) -> np.ndarray:
        n = np.cross(self.u, self.v)
        return n / np.linalg.norm(n)


def _face(origin, u, v, density=1.0):
    return Face(np.asarray(origin, float), np.asarray(u, float), np.asarray(v, float), density)


def _box_faces(corner, size, density=1.0, bottom=False, top=True):
    """The visible faces of an axis-aligned box standing on its bottom face."""
    c = np.asarray(corner, float)
    w, d, h = size
    ex, ey, ez = np.eye(3)
    faces = [
        _face(c, w * ex, h * ez, density), _face(c + d * ey, w * ex, h * ez, density),
        _face(c, d * ey, h * ez, density), _face(c + w * ex, d * ey, h * ez, density),
    ]
    if top:
        faces.insert(0, _face(c + h * ez, w * ex, d * ey, density))
    if bottom:
        faces.append(_face(c, w * ex, d * ey, density))
    return faces


def _split_counts(weights, total):
    """Integer counts proportional to weights that add up to total exactly."""
    weights = np.asarray(weights, float)
    raw = total * weights / weights.sum()
    counts = np.floor(raw).astype(np.int64)
    remainder = total - counts.sum()
    counts[np.argsort(raw - counts)[::-1][:remainder]] += 1
    return counts


def _sample(name, faces, points, noise, clutter, seed, info=None) -> Scene:
    rng = np.random.default_rng(seed)
    n_clutter = int(round(points * clutter))
    counts = _split_counts([f.area * f.density for f in faces], points - n_clutter)
    coords, labels = [], []
    for label, (f, n) in enumerate(zip(faces, counts)):
        ab = rng.random((n, 2))
        p = f.origin + ab[:, :1] * f.u + ab[:, 1:] * f.v
        if noise:
            p = p + rng.normal(0.0, noise, (n, 1)) * f.normal
        coords.append(p)
        labels.append(np.full(n, label, np.int32))
    all_corners = np.array([f.origin + a * f.u + b * f.v for f in faces for a in (0, 1) for b in (0, 1)])
    lo, hi = all_corners.min(axis=0), all_corners.max(axis=0)
    coords.append(lo + rng.random((n_clutter, 3)) * (hi - lo))
    labels.append(np.full(n_clutter, -1, np.int32))
    coords = np.concatenate(coords)
    labels = np.concatenate(labels)
    order = rng.permutation(points)  # no method may lean on the generation order
    dense_area = sum(f.area * f.density for f in faces)
    spacing = float(np.sqrt(dense_area / max(points - n_clutter, 1)))
    meta = {"noise": noise, "clutter": clutter, "seed": seed, **(info or {})}
    return Scene(name, coords[order], labels[order], spacing, meta)


def room(points: int = 100_000, noise: float = 0.0, clutter: float = 0.0, seed: int = 0) -> Scene:
    """An 8 x 6 x 3 m room: floor, ceiling, four walls, a table (top and four sides) and boxes."""
    sx, sy, sz = 8.0, 6.0, 3.0
    ex, ey, ez = np.eye(3)
    faces = [
        _face((0, 0, 0), sx * ex, sy * ey),          # floor
        _face((0, 0, sz), sx * ex, sy * ey),         # ceiling
        _face((0, 0, 0), sx * ex, sz * ez),          # walls
        _face((0, sy, 0), sx * ex, sz * ez),
        _face((0, 0, 0), sy * ey, sz * ez),
        _face((sx, 0, 0), sy * ey, sz * ez),
    ]
    faces += _box_faces((2.5, 2.2, 0.0), (1.8, 1.0, 0.75))       # table
    faces += _box_faces((6.2, 0.4, 0.0), (1.2, 0.8, 1.1))        # boxes
    faces += _box_faces((0.5, 4.4, 0.0), (0.9, 1.1, 0.6))
    faces += _box_faces((4.8, 4.6, 0.0), (1.5, 0.6, 1.8))        # cupboard
    return _sample("room", faces, points, noise, clutter, seed, {"size_m": [sx, sy, sz]})


def city_block(points: int = 100_000, noise: float = 0.0, clutter: float = 0.0, seed: int = 0,
               buildings: int = 24, wall_density: float = 0.15) -> Scene:
    """About 200 m of city seen from above: ground, box buildings with flat or gabled roofs.

    Walls get wall_density times the points per square metre of roofs and ground, as in an
    aerial scan. Ground under the buildings is left out (split into strips around them).
    """
    rng = np.random.default_rng(seed + 7919)
    extent = 200.0
    ex, ey, ez = np.eye(3)
    faces, footprints = [], []
    cells = int(np.ceil(np.sqrt(buildings)))
    pitch = extent / cells
    for k in range(buildings):
        gx, gy = divmod(k, cells)
        w, d = rng.uniform(0.35, 0.7, 2) * pitch
        x0 = gx * pitch + rng.uniform(0.1, 0.9 - w / pitch) * pitch
        y0 = gy * pitch + rng.uniform(0.1, 0.9 - d / pitch) * pitch
        h = rng.uniform(6.0, 30.0)
        footprints.append((x0, y0, w, d))
        faces += _box_faces((x0, y0, 0.0), (w, d, h), wall_density, top=False)
        if rng.random() < 0.35:  # gabled roof: two slopes meeting at a ridge along x
            rise = rng.uniform(2.0, 5.0)
            faces.append(_face((x0, y0, h), w * ex, (d / 2) * ey + rise * ez))
            faces.append(_face((x0, y0 + d, h), w * ex, -(d / 2) * ey + rise * ez))
        else:
            faces.append(_face((x0, y0, h), w * ex, d * ey))
    # Ground strips: one ground plane label, sampled from rectangles that avoid the footprints.
    ground = _ground_strips(footprints, extent)
    scene = _sample("city", ground + faces, points, noise, clutter, seed, {"extent_m": extent})
    labels, strips = scene.labels, len(ground)
    scene.labels = np.where(labels < 0, -1, np.where(labels < strips, 0, labels - strips + 1)).astype(np.int32)
    return scene


def _ground_strips(footprints, extent):
    """Rectangles covering [0, extent]^2 minus the footprints, split along x at footprint edges."""
    ex, ey = np.eye(3)[:2]
    xs = sorted({0.0, extent, *[f[0] for f in footprints], *[f[0] + f[2] for f in footprints]})
    strips = []
    for xa, xb in zip(xs[:-1], xs[1:]):
        blocked = sorted((y0, y0 + d) for x0, y0, w, d in footprints if x0 < (xa + xb) / 2 < x0 + w)
        y = 0.0
        for ya, yb in blocked + [(extent, extent)]:
            if ya > y:
                strips.append(_face((xa, y, 0.0), (xb - xa) * ex, (ya - y) * ey))
            y = max(y, yb)
    return strips


def two_planes_edge(points: int = 100_000, noise: float = 0.0, clutter: float = 0.0, seed: int = 0,
                    angle_deg: float = 90.0) -> Scene:
    """Two 2 x 2 m planes sharing one edge, at angle_deg to each other."""
    a = np.radians(angle_deg)
    faces = [
        _face((0, 0, 0), (2, 0, 0), (0, 2, 0)),
        _face((0, 0, 0), (2, 0, 0), (0, 2 * np.cos(a), 2 * np.sin(a))),
    ]
    return _sample("edge", faces, points, noise, clutter, seed, {"angle_deg": angle_deg})


def parallel_planes(points: int = 100_000, noise: float = 0.0, clutter: float = 0.0, seed: int = 0,
                    gap: float = 0.05) -> Scene:
    """Two parallel 2 x 2 m planes gap apart, the upper one shifted by half its width."""
    faces = [
        _face((0, 0, 0), (2, 0, 0), (0, 2, 0)),
        _face((1, 0, gap), (2, 0, 0), (0, 2, 0)),
    ]
    return _sample("parallel", faces, points, noise, clutter, seed, {"gap_m": gap})


SCENES = {"room": room, "city": city_block, "edge": two_planes_edge, "parallel": parallel_planes}
