"""Whole-cloud labelling by repeated tessel.SeededGrower growth from random seeds."""

from __future__ import annotations

import numpy as np

import tessel


def segment_with_seeded_grower(coords, params=None, max_failures=50, seed=0, grower=None):
    """Labels every point reachable from a planar seed; returns int32 labels (-1: none).

    Seeds are drawn in a random order (fixed by seed) among the points not yet labelled; a
    grown region keeps only its points that no earlier region took, and is kept when those
    number at least tau. A region too small that way leaves its points out of the seeds, as
    they would only grow it again. Stops after max_failures seeds in a row gave nothing new.
    """
    params = dict(params or {})
    grower = grower or tessel.SeededGrower(coords, params=params)
    tau = grower.params["tau"]
    labels = np.full(len(grower), -1, np.int32)
    exhausted = np.zeros(len(grower), bool)
    failures = 0
    next_label = 0
    for s in np.random.default_rng(seed).permutation(len(grower)):
        if failures >= max_failures:
            break
        if labels[s] >= 0 or exhausted[s]:
            continue
        members, info = grower.grow(int(s))
        members = members[labels[members] < 0]
        if not info["accepted"] or len(members) < tau:
            exhausted[members] = True
            failures += 1
            continue
        labels[members] = next_label
        next_label += 1
        failures = 0
    return labels
