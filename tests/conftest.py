"""Helpers the test files share: the colour test written plainly in NumPy,
32-bit wrapping, random images, objects that probe the number conversions, and
a video clip of the built-in scene."""
import numpy as np
import pytest

# The bounds of the hue sector from red to yellow (chroma 0.2..1.0, intensity 0.1..0.9).
RED_YELLOW = {"M": [256, -256, 0, 0, 256, -256, 85, 85, 85], "i": (6554, 58982), "c": (15135, 75674)}


def wrap32(v):
    """Two's-complement wrap of a Python int (or int64 array) to 32 bits."""
    return ((v + 2**31) & 0xFFFFFFFF) - 2**31


def random_image(h, w, seed=0):
    return np.random.default_rng(seed).integers(0, 256, (h, w, 3), dtype=np.uint8)


def colour_test(image, bounds):
    """The colour test on every pixel of an H x W x 3 image in int64 NumPy,
    its sums wrapped to 32 bits like the kernels': (inside, v2), both H x W."""
    M = np.array(bounds["M"], np.int64).reshape(3, 3)
    v = wrap32(image.reshape(-1, 3).astype(np.int64) @ M.T)
    v0, v1, v2 = v[:, 0], v[:, 1], v[:, 2]
    tmp = wrap32(v0 + v1)
    (i0, i1), (c0, c1) = bounds["i"], bounds["c"]
    inside = (v0 > 0) & (v1 > 0) & (i0 < v2) & (v2 < i1) & (c0 < tmp) & (tmp < c1)
    return inside.reshape(image.shape[:-1]), v2.reshape(image.shape[:-1])


def as_record(bounds):
    """The LCHBounds record of a bounds dict."""
    import kestrune

    return kestrune.LCHBounds(np.array(bounds["M"], dtype=np.int32), tuple(bounds["i"]), tuple(bounds["c"]))


class IntReturns:
    """__int__ returns the value given (of any type)."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value

    def __repr__(self):
        return f"IntReturns({self.value!r})"


class IntRaises:
    """__int__ raises the exception given."""

    def __init__(self, error):
        self.error = error

    def __int__(self):
        raise self.error


class SubInt(int):
    pass


def scene_clip(path, frames=4, shift=2):
    """An MJPG clip of the built-in scene sliding right `shift` pixels a frame;
    the test is skipped without OpenCV or its MJPG writer."""
    cv2 = pytest.importorskip("cv2")
    from kestrune_find.scene import render_scene

    frame = render_scene().frame
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 30, (frame.shape[1], frame.shape[0]))
    if not writer.isOpened():
        pytest.skip("no MJPG writer in this OpenCV build")
    for k in range(frames):
        writer.write(cv2.cvtColor(np.roll(frame, shift * k, axis=1), cv2.COLOR_RGB2BGR))
    writer.release()
    return path
