"""Files in, labelled files and pictures out: readers and writers, progress bars, pictures and
the planeseg command around the extension modules tessel, quarvo, mendolin and features."""

from planeseg.io import read_points, recentre

__all__ = ["read_points", "recentre"]
