"""Seeded camera-like frames of one-colour discs and ellipses, with their truth.

    frame, truth = make_scene(seed, kind="mixed", size=(480, 640), colour="red")

`frame` is an H x W x 3 uint8 RGB array; `truth` lists the discs (x, y, r and
whether they are clean: whole, in the frame, touching nothing), the ellipses
(x, y, a, b, theta) and the same-colour distractors, in pixel units with pixel
centres at integer coordinates (x = 0 is the centre of column 0); theta is in
radians from the x axis towards +y, the semi-axis `a` along it.

What goes into a frame: a scikit-image photograph (cropped, flipped, resized;
grey ones tinted) as the background, or a smooth random texture when
scikit-image is not installed; shaded targets (a lit and a shaded side, a
highlight, sometimes a seam and a contact shadow) with anti-aliased edges at
sub-pixel positions; touching pairs; occluders of other colours over 10-30 % of
a disc; distractors of the target's colour (tape-roll rings, rope coils,
strips, irregular patches, specks, half-discs, a mat, a colour wheel) and balls
and blobs of other colours; then the camera: a lighting gradient and
vignetting, exposure and white balance, Gaussian or motion blur, noise and JPEG.

Kinds: "mixed" (0-5 discs and ellipses), "discs" (discs only), "ellipses"
(ellipses only), "empty" (no target: background and distractors), "clean"
(1-4 separate, whole discs, no distractors, a mild camera). A scene depends
only on its arguments and on which of scikit-image (photographs) and
OpenCV or Pillow (JPEG) are installed; photos=False and jpeg=False give the
same frame with NumPy alone. cases.py draws the hard cases (balls hidden by
other things, piles, held balls, reflections, small balls) with these steps.
"""
from __future__ import annotations

import colorsys
import functools
import io
import math
from dataclasses import dataclass, field

import numpy as np

# Hue (degrees), saturation, value of each target colour's lit surface.
COLOURS: dict[str, tuple[float, float, float]] = {
    "yellow": (52.0, 0.82, 0.92),
    "orange": (26.0, 0.88, 0.95),
    "red": (356.0, 0.82, 0.80),
    "green": (135.0, 0.72, 0.68),
    "blue": (218.0, 0.80, 0.78),
    "pink": (330.0, 0.58, 0.95),
    "purple": (280.0, 0.60, 0.62),
    "cyan": (188.0, 0.78, 0.80),
}

KINDS = ("mixed", "discs", "ellipses", "empty", "clean")

# scikit-image's photographs that ship with it (no download); grey ones get a
# slight colour cast. Left out: those full of small round things of one colour
# (stars, stained nuclei, the fundus of an eye), which no truth could list.
PHOTOS = ("astronaut", "chelsea", "coffee", "rocket", "motorcycle", "camera", "brick", "grass", "gravel",
          "moon", "coins", "clock", "cell", "page", "text")

# Radii at 640x480; larger frames scale them.
R_MIN, R_MAX = 10.0, 90.0


# ---------------------------------------------------------------- truth


@dataclass(frozen=True)
class Disc:
    x: float
    y: float
    r: float
    clean: bool             # whole, inside the frame, nothing within 2 px
    occluded: float = 0.0   # share hidden by an object in front of it
    touching: bool = False  # another target touches or overlaps it
    border: bool = False    # part of it lies outside the frame


@dataclass(frozen=True)
class Ellipse:
    x: float
    y: float
    a: float
    b: float
    theta: float
    clean: bool = True


@dataclass(frozen=True)
class Distractor:
    kind: str      # ring, coil, strip, patch, specks, half-disc, mat, wheel, other-ball, other-blob (cases.py: more)
    x: float
    y: float
    extent: float  # radius of a circle that holds it
    same_colour: bool = True


@dataclass(frozen=True)
class DontCare:
    """A target that may be found or not (a ball cut by the frame's border)."""
    x: float
    y: float
    r: float
    box: tuple[float, float, float, float]  # x0, y0, x1, y1 edge coordinates


@dataclass
class Truth:
    discs: list[Disc] = field(default_factory=list)
    ellipses: list[Ellipse] = field(default_factory=list)
    distractors: list[Distractor] = field(default_factory=list)
    dont_care: list[DontCare] = field(default_factory=list)
    colour: str = ""
    rgb: tuple[float, float, float] = (0.0, 0.0, 0.0)  # the targets' lit colour, 0..1
    kind: str = ""
    seed: int = 0
    size: tuple[int, int] = (0, 0)
    background: str = ""
    camera: dict = field(default_factory=dict)

    def calibration_rect(self, min_r: float = 15.0) -> tuple[int, int, int, int] | None:
        """A rectangle (x0, y0, x1, y1; x1, y1 exclusive) well inside the largest
        clean disc of radius >= min_r, as a user would draw it; None if none."""
        best = max((d for d in self.discs if d.clean and d.r >= min_r), key=lambda d: d.r, default=None)
        if best is None:
            return None
        h = 0.5 * best.r
        return (math.ceil(best.x - h), math.ceil(best.y - h), math.floor(best.x + h) + 1, math.floor(best.y + h) + 1)


# ---------------------------------------------------------------- colour


def hsv_rgb(h: float, s: float, v: float) -> np.ndarray:
    return np.array(colorsys.hsv_to_rgb((h % 360.0) / 360.0, min(max(s, 0.0), 1.0), min(max(v, 0.0), 1.0)),
                    np.float32)


def set_colour(name: str, rng: np.random.Generator) -> tuple[float, float, float]:
    """One set's target colour (RGB 0..1): the named colour, a little changed, as
    one particular ball of that name would be."""
    h, s, v = COLOURS[name]
    c = hsv_rgb(h + rng.uniform(-5, 5), s * rng.uniform(0.85, 1.1), v * rng.uniform(0.9, 1.05))
    return (float(c[0]), float(c[1]), float(c[2]))


def _hsv_of(rgb) -> tuple[float, float, float]:
    h, s, v = colorsys.rgb_to_hsv(*[float(c) for c in rgb])
    return h * 360.0, s, v


def _vary(rgb, rng, dh, ds, dv) -> np.ndarray:
    h, s, v = _hsv_of(rgb)
    return hsv_rgb(h + rng.uniform(-dh, dh), s * rng.uniform(1 - ds, 1 + ds * 0.5),
                   v * rng.uniform(1 - dv, 1 + dv * 0.5))


def _other_colour(target_rgb, rng) -> np.ndarray:
    """A colour that no one would call the target's: a hue at least 60 degrees
    away, or a grey, white or black."""
    th, ts, _ = _hsv_of(target_rgb)
    if rng.random() < 0.35:
        return np.full(3, rng.choice([0.08, 0.2, 0.45, 0.7, 0.92]) * rng.uniform(0.9, 1.1), np.float32)
    while True:
        h = rng.uniform(0, 360)
        if abs((h - th + 180) % 360 - 180) >= 60 or ts < 0.15:
            return hsv_rgb(h, rng.uniform(0.4, 0.95), rng.uniform(0.35, 0.95))


# ---------------------------------------------------------------- backgrounds


@functools.lru_cache(maxsize=None)
def _photo(name: str) -> np.ndarray | None:
    try:
        from skimage import data
    except ImportError:
        return None
    try:
        img = data.stereo_motorcycle()[0] if name == "motorcycle" else getattr(data, name)()
    except Exception:  # a photograph this scikit-image does not bundle
        return None
    img = np.asarray(img)
    if img.dtype != np.uint8:
        img = (np.clip(img, 0, 1) * 255).astype(np.uint8) if img.dtype.kind == "f" else img.astype(np.uint8)
    return img


def resize(img: np.ndarray, h: int, w: int) -> np.ndarray:
    """Bilinear resize of an H x W (x C) float array, pixel centres aligned (NumPy
    only, so that a scene does not depend on which image library is installed)."""
    sh, sw = img.shape[:2]
    ys = np.clip((np.arange(h) + 0.5) * sh / h - 0.5, 0, sh - 1)
    xs = np.clip((np.arange(w) + 0.5) * sw / w - 0.5, 0, sw - 1)
    y0 = np.floor(ys).astype(np.intp)
    x0 = np.floor(xs).astype(np.intp)
    y1 = np.minimum(y0 + 1, sh - 1)
    x1 = np.minimum(x0 + 1, sw - 1)
    fy = (ys - y0).astype(np.float32).reshape(-1, 1, *([1] * (img.ndim - 2)))
    fx = (xs - x0).astype(np.float32).reshape(1, -1, *([1] * (img.ndim - 2)))
    rows = img[y0] * (1 - fy) + img[y1] * fy
    return rows[:, x0] * (1 - fx) + rows[:, x1] * fx


def _texture(rng, h, w) -> np.ndarray:
    """A smooth random colour texture: the background when no photograph is at hand."""
    out = np.zeros((h, w, 3), np.float32)
    for cells, amp in ((4, 0.5), (12, 0.25), (40, 0.12)):
        coarse = rng.random((cells, max(2, cells * w // h), 3)).astype(np.float32)
        out += amp * resize(coarse, h, w)
    out = 0.15 + 0.7 * (out - out.min()) / max(float(np.ptp(out)), 1e-6)
    grey = out.mean(axis=2, keepdims=True)
    return grey + rng.uniform(0.2, 0.6) * (out - grey)  # muted, as most scenes are


def background(rng: np.random.Generator, h: int, w: int, photos: bool = True) -> tuple[np.ndarray, str]:
    name = PHOTOS[rng.integers(len(PHOTOS))]
    crop = rng.uniform(0.45, 1.0)
    flip = rng.random(2) < 0.5
    tint = hsv_rgb(rng.uniform(0, 360), rng.uniform(0.03, 0.2), 1.0)
    cy, cx = rng.random(2)
    img = _photo(name) if photos else None
    if img is None:
        return _texture(rng, h, w), "texture"
    ih, iw = img.shape[:2]
    # The largest crop of the frame's aspect, scaled down by `crop`.
    ch = min(ih, iw * h / w) * crop
    cw = ch * w / h
    y0 = int(cy * (ih - ch))
    x0 = int(cx * (iw - cw))
    img = img[y0:y0 + max(2, int(ch)), x0:x0 + max(2, int(cw))].astype(np.float32) / 255.0
    if img.ndim == 2:
        img = img[:, :, None] * tint[None, None, :]
    img = img[:, :, :3]
    if flip[0]:
        img = img[::-1]
    if flip[1]:
        img = img[:, ::-1]
    return resize(np.ascontiguousarray(img), h, w), name


def _colour_share(img: np.ndarray, rgb) -> float:
    """Share of a background's pixels (a 1-in-16 sample) near the target's hue
    and about as saturated."""
    h0, s0, _ = _hsv_of(rgb)
    sample = img[::4, ::4].reshape(-1, 3).astype(np.float64)
    mx, mn = sample.max(axis=1), sample.min(axis=1)
    sat = np.where(mx > 0, (mx - mn) / np.maximum(mx, 1e-9), 0.0)
    r, g, b = sample[:, 0], sample[:, 1], sample[:, 2]
    hue = np.degrees(np.arctan2(np.sqrt(3.0) * (g - b), 2 * r - g - b)) % 360.0
    near = np.abs((hue - h0 + 180.0) % 360.0 - 180.0) <= 25.0
    return float(np.mean(near & (sat >= 0.4 * s0) & (mx >= 0.15)))


# ---------------------------------------------------------------- drawing


class Canvas:
    """The frame being drawn (float RGB 0..1), what of each target is still in
    sight, and how much other objects cover each pixel (to tell which discs
    touch something)."""

    def __init__(self, img: np.ndarray):
        self.img = img
        self.h, self.w = img.shape[:2]
        self.other = np.zeros((self.h, self.w), np.float32)
        self.target_id = np.zeros((self.h, self.w), np.int16)  # a target drawn over the pixel
        self.visible: dict[int, tuple[tuple[slice, slice], np.ndarray]] = {}
        self.drawn: dict[int, float] = {}  # coverage each target had when drawn (its part in the frame)

    def grid(self, x, y, ext):
        """Pixel offsets from (x, y) over the frame's part of the box of half-size ext."""
        x0, x1 = max(0, int(math.floor(x - ext))), min(self.w, int(math.ceil(x + ext)) + 1)
        y0, y1 = max(0, int(math.floor(y - ext))), min(self.h, int(math.ceil(y + ext)) + 1)
        if x0 >= x1 or y0 >= y1:
            return None
        dy, dx = np.mgrid[y0:y1, x0:x1].astype(np.float32)
        return (slice(y0, y1), slice(x0, x1)), dx - np.float32(x), dy - np.float32(y)

    def paint(self, sl, alpha, colour, target: int = 0):
        """Blends colour (H x W x 3, or 3) over the box with coverage alpha."""
        alpha = alpha.astype(np.float32)
        a = alpha[:, :, None]
        self.img[sl] = self.img[sl] * (1 - a) + colour * a
        # Whatever is drawn hides the targets under it.
        for box, vis in self.visible.values():
            y0, y1 = max(sl[0].start, box[0].start), min(sl[0].stop, box[0].stop)
            x0, x1 = max(sl[1].start, box[1].start), min(sl[1].stop, box[1].stop)
            if y0 < y1 and x0 < x1:
                vis[y0 - box[0].start:y1 - box[0].start, x0 - box[1].start:x1 - box[1].start] *= \
                    1 - alpha[y0 - sl[0].start:y1 - sl[0].start, x0 - sl[1].start:x1 - sl[1].start]
        if target:
            self.visible[target] = (sl, alpha.copy())
            self.drawn[target] = float(alpha.sum())
            self.target_id[sl][alpha > 0.02] = target
        else:
            self.other[sl] = np.maximum(self.other[sl], alpha)

    def darken(self, sl, amount):
        self.img[sl] *= (1 - amount)[:, :, None]


def coverage(d: np.ndarray) -> np.ndarray:
    """Anti-aliased coverage from a signed distance (px, negative inside)."""
    return np.clip(0.5 - d, 0.0, 1.0)


def ellipse_distance(dx, dy, a, b, theta):
    """Signed distance to an ellipse's outline, first order (exact on circles)."""
    c, s = math.cos(theta), math.sin(theta)
    u = (dx * c + dy * s) / a
    v = (-dx * s + dy * c) / b
    f = u * u + v * v - 1
    g = 2 * np.sqrt((u / a) ** 2 + (v / b) ** 2) + 1e-9
    d = f / g
    # Far from the outline the linearisation overshoots; any large value is outside.
    return np.where(f > 3, np.maximum(d, 2.0), d), u, v


def sphere_shade(u, v, light, ambient, gloss, shininess):
    """Lambert shading of a sphere seen from the front, plus a highlight, at
    normalised offsets (u, v) (the outline at u^2 + v^2 = 1)."""
    z = np.sqrt(np.clip(1 - u * u - v * v, 0, 1))
    lx, ly, lz = light
    lam = np.clip(u * lx + v * ly + z * lz, 0, 1)
    shade = ambient + (1 - ambient) * lam
    if gloss > 0:
        hx, hy, hz = lx, ly, lz + 1
        n = math.sqrt(hx * hx + hy * hy + hz * hz)
        highlight = gloss * np.clip((u * hx + v * hy + z * hz) / n, 0, 1) ** shininess
    else:
        highlight = np.zeros_like(shade)
    return shade, highlight


def random_light(rng):
    az = rng.uniform(0, 2 * math.pi)
    el = rng.uniform(0.3, 1.2)  # radians above the image plane
    return (math.cos(az) * math.cos(el), math.sin(az) * math.cos(el), math.sin(el))


def shaded_colour(albedo, shade, highlight, gain):
    col = albedo[None, None, :] * (shade * gain)[:, :, None]
    return col + highlight[:, :, None] * (1 - col)


def draw_ball(cv: Canvas, rng, x, y, a, b, theta, albedo, target: int, light) -> None:
    """A shaded ball (a = b) or ellipsoid: lit side, shaded side, maybe a highlight and a seam."""
    g = cv.grid(x, y, max(a, b) + 2)
    if g is None:
        return
    sl, dx, dy = g
    d, u, v = ellipse_distance(dx, dy, a, b, theta)
    alpha = coverage(d)
    ambient = rng.uniform(0.3, 0.6)
    gloss = rng.uniform(0.1, 0.45) if rng.random() < 0.5 else 0.0
    # Rotate the light into the shape's own axes.
    c, s = math.cos(theta), math.sin(theta)
    lxy = (light[0] * c + light[1] * s, -light[0] * s + light[1] * c, light[2])
    shade, hl = sphere_shade(u, v, lxy, ambient, gloss, rng.uniform(15, 60))
    if min(a, b) >= 15 and rng.random() < 0.15:  # a seam: a great circle, darker
        n = rng.normal(size=3)
        n /= np.linalg.norm(n)
        z = np.sqrt(np.clip(1 - u * u - v * v, 0, 1))
        width = max(1.0, rng.uniform(0.03, 0.06) * min(a, b)) / min(a, b)
        seam = np.clip(1.5 - np.abs(u * n[0] + v * n[1] + z * n[2]) / width, 0, 1)
        shade = shade * (1 - rng.uniform(0.25, 0.45) * seam)
    cv.paint(sl, alpha, shaded_colour(albedo, shade, hl, rng.uniform(1.0, 1.2)), target)


def draw_shadow(cv: Canvas, rng, x, y, r, light) -> None:
    """A soft contact shadow, away from the light, under a ball."""
    ox, oy = -light[0] * 0.35 * r, -light[1] * 0.35 * r + 0.25 * r
    g = cv.grid(x + ox, y + oy, 1.5 * r)
    if g is None:
        return
    sl, dx, dy = g
    soft = max(1.0, 0.25 * r)
    d, _, _ = ellipse_distance(dx, dy, 1.05 * r, rng.uniform(0.6, 0.95) * r, rng.uniform(-0.3, 0.3))
    cv.darken(sl, rng.uniform(0.25, 0.55) * np.clip(0.5 - d / soft, 0, 1))


def flat_colour(albedo, dx, dy, rng, ext):
    """A flat surface's colour with a gentle linear light gradient."""
    ang = rng.uniform(0, 2 * math.pi)
    k = rng.uniform(0.0, 0.35) / max(ext, 1.0)
    shade = rng.uniform(0.85, 1.1) + k * (dx * math.cos(ang) + dy * math.sin(ang))
    return albedo[None, None, :] * np.clip(shade, 0.2, 1.4)[:, :, None]


# ---------------------------------------------------------------- distractors


def draw_ring(cv, rng, x, y, R, albedo):
    """A roll of tape: an annulus, seen from above or tilted into an ellipse."""
    t = rng.uniform(0.45, 1.0)
    th = rng.uniform(0, math.pi)
    k = rng.uniform(0.45, 0.8)
    g = cv.grid(x, y, R + 2)
    if g is None:
        return
    sl, dx, dy = g
    d_out, _, _ = ellipse_distance(dx, dy, R, R * t, th)
    d_in, _, _ = ellipse_distance(dx, dy, R * k, R * k * t, th)
    alpha = coverage(d_out) * (1 - coverage(d_in))
    cv.paint(sl, alpha, flat_colour(albedo, dx, dy, rng, R))


def draw_coil(cv, rng, x, y, R, albedo):
    """A coiled rope: a spiral tube with gaps between the turns."""
    # Gaps of 2.5 px or more between the turns, or blur makes it a plain disc.
    turns = max(1, min(int(rng.integers(2, 6)), int(R // 8)))
    pitch = R / (turns + 0.5)
    width = min(pitch * rng.uniform(0.55, 0.85), pitch - 2.5)
    r0 = pitch * 0.5
    t = rng.uniform(0.6, 1.0)
    th = rng.uniform(0, math.pi)
    g = cv.grid(x, y, R + 2)
    if g is None:
        return
    sl, dx, dy = g
    c, s = math.cos(th), math.sin(th)
    u = dx * c + dy * s
    v = (-dx * s + dy * c) / t
    rho = np.sqrt(u * u + v * v)
    phi = (np.arctan2(v, u) + math.pi) / (2 * math.pi)
    turn = (rho - r0) / pitch - phi
    frac = turn - np.round(turn)
    dist = np.abs(frac) * pitch
    inside = (np.round(turn) >= 0) & (np.round(turn) <= turns - 1)
    alpha = np.where(inside, coverage(dist - width / 2), 0.0).astype(np.float32)
    tube = np.sqrt(np.clip(1 - (dist / (width / 2)) ** 2, 0, 1))
    col = flat_colour(albedo, dx, dy, rng, R) * (0.45 + 0.6 * tube)[:, :, None]
    cv.paint(sl, alpha, col)


def draw_strip(cv, rng, x, y, L, albedo):
    """A stripe of tape: a long, maybe slightly bent, band."""
    w = rng.uniform(6, 40)
    th = rng.uniform(0, math.pi)
    bend = rng.uniform(-1, 1) / max(L, 1) * (rng.random() < 0.3)
    g = cv.grid(x, y, L / 2 + w)
    if g is None:
        return
    sl, dx, dy = g
    c, s = math.cos(th), math.sin(th)
    u = dx * c + dy * s
    v = -dx * s + dy * c - bend * u * u
    d = np.maximum(np.abs(u) - L / 2, np.abs(v) - w / 2)
    cv.paint(sl, coverage(d), flat_colour(albedo, dx, dy, rng, L))


def draw_patch(cv, rng, x, y, R, albedo):
    """An irregular patch: a wobbly blob or a polygon of 3-5 corners, never round."""
    g = cv.grid(x, y, R + 2)
    if g is None:
        return
    sl, dx, dy = g
    if rng.random() < 0.5:
        phi = np.arctan2(dy, dx)
        rad = np.ones_like(phi)
        ks = rng.choice(np.arange(2, 7), size=3, replace=False)
        amps = rng.uniform(0.12, 0.25, size=3)
        for k, amp in zip(ks, amps):
            rad += amp * np.cos(k * phi + rng.uniform(0, 2 * math.pi))
        rad *= R / (1 + amps.sum())
        d = np.sqrt(dx * dx + dy * dy) - rad
    else:
        n = int(rng.integers(3, 6))
        angles = np.sort(rng.uniform(0, 2 * math.pi, n))
        radii = R * rng.uniform(0.55, 1.0, n)
        pts = np.stack([radii * np.cos(angles), radii * np.sin(angles)], 1)
        d = np.full(dx.shape, -np.inf, np.float32)
        # Distance to a convex polygon: the largest signed distance to its edges.
        for i in range(n):
            p, q = pts[i], pts[(i + 1) % n]
            e = q - p
            nx, ny = e[1], -e[0]
            norm = math.hypot(nx, ny) or 1.0
            side = ((dx - p[0]) * nx + (dy - p[1]) * ny) / norm
            # Orient outwards: the centre (0, 0) must be inside.
            if (-p[0] * nx - p[1] * ny) / norm > 0:
                side = -side
            d = np.maximum(d, side)
    cv.paint(sl, coverage(d), flat_colour(albedo, dx, dy, rng, R))


def draw_specks(cv, rng, x, y, R, albedo):
    """A scatter of small same-colour dots (r below 4 px)."""
    for _ in range(int(rng.integers(5, 25))):
        px, py = x + rng.uniform(-R, R), y + rng.uniform(-R, R)
        r = rng.uniform(0.8, 3.5)
        g = cv.grid(px, py, r + 2)
        if g is None:
            continue
        sl, dx, dy = g
        cv.paint(sl, coverage(np.sqrt(dx * dx + dy * dy) - r), _vary(albedo, rng, 4, 0.1, 0.15))


def draw_half_disc(cv, rng, x, y, R, albedo):
    """A disc cut by a straight edge through or beyond its centre: at most half of it."""
    g = cv.grid(x, y, R + 2)
    if g is None:
        return
    sl, dx, dy = g
    ang = rng.uniform(0, 2 * math.pi)
    off = rng.uniform(0.0, 0.3) * R  # how far beyond the centre the edge runs
    d = np.maximum(np.sqrt(dx * dx + dy * dy) - R, off - (dx * math.cos(ang) + dy * math.sin(ang)))
    cv.paint(sl, coverage(d), flat_colour(albedo, dx, dy, rng, R))


def draw_mat(cv, rng, x, y, R, albedo):
    """A mat: a large textured quadrilateral (a rectangle in perspective)."""
    g = cv.grid(x, y, R + 2)
    if g is None:
        return
    sl, dx, dy = g
    th = rng.uniform(0, math.pi)
    hw, hh = R * rng.uniform(0.6, 0.7), R * rng.uniform(0.35, 0.7)
    taper = rng.uniform(0, 0.3)
    c, s = math.cos(th), math.sin(th)
    u = dx * c + dy * s
    v = -dx * s + dy * c
    scale = 1 + taper * v / hh  # one end narrower, as seen at an angle
    d = np.maximum(np.abs(u) - hw * scale, np.abs(v) - hh)
    col = flat_colour(albedo, dx, dy, rng, R)
    fine = rng.normal(0, 1, (max(2, dx.shape[0] // 3), max(2, dx.shape[1] // 3), 1)).astype(np.float32)
    col = col * (1 + 0.05 * resize(fine, *dx.shape))  # foam texture
    cv.paint(sl, coverage(d), col)


def draw_wheel(cv, rng, x, y, R, albedo):
    """A colour wheel: every hue around, saturation growing outwards."""
    g = cv.grid(x, y, R + 2)
    if g is None:
        return
    sl, dx, dy = g
    rho = np.sqrt(dx * dx + dy * dy)
    hue = (np.degrees(np.arctan2(dy, dx)) + rng.uniform(0, 360)) % 360 / 60.0
    sat = np.clip(rho / R, 0, 1)
    val = rng.uniform(0.8, 1.0)
    k = lambda n: (n + hue) % 6  # noqa: E731
    f = lambda n: val - val * sat * np.clip(np.minimum(k(n), 4 - k(n)), 0, 1)  # noqa: E731
    col = np.stack([f(5), f(3), f(1)], axis=-1).astype(np.float32)
    cv.paint(sl, coverage(rho - R), col)


DISTRACTORS = {"ring": draw_ring, "coil": draw_coil, "strip": draw_strip, "patch": draw_patch,
               "specks": draw_specks, "half-disc": draw_half_disc, "mat": draw_mat, "wheel": draw_wheel}


def distractor_extent(kind, rng, scale):
    if kind == "strip":
        return rng.uniform(60, 300) * scale / 2
    if kind == "mat":
        return rng.uniform(120, 260) * scale
    if kind == "specks":
        return rng.uniform(20, 80) * scale
    if kind == "wheel":
        return rng.uniform(35, 100) * scale
    return math.exp(rng.uniform(math.log(10), math.log(85))) * scale


# ---------------------------------------------------------------- occluders


def segment_share(d, r):
    """The share of a disc of radius r beyond a chord at distance d from its centre."""
    d = min(max(d, -r), r)
    return (r * r * math.acos(d / r) - d * math.sqrt(r * r - d * d)) / (math.pi * r * r)


def bisect_falling(f, lo, hi, target, steps=40):
    """The x in [lo, hi] where f, falling from lo to hi, crosses target."""
    for _ in range(steps):
        mid = (lo + hi) / 2
        lo, hi = (mid, hi) if f(mid) > target else (lo, mid)
    return (lo + hi) / 2


def draw_occluder(cv, rng, disc_x, disc_y, r, share, colour):
    """An object of another colour in front of a disc, hiding about `share` of it:
    a bar over one side (a robot's arm, a leg of a chair) or a round object."""
    ang = rng.uniform(0, 2 * math.pi)
    n = (math.cos(ang), math.sin(ang))
    if rng.random() < 0.6:
        d = bisect_falling(lambda c: segment_share(c, r), -r, r, share)  # the chord for the share
        depth = (r - d) + rng.uniform(3, 0.8 * r + 3)
        half = r * rng.uniform(1.05, 1.5)
        cx, cy = disc_x + n[0] * (d + depth / 2), disc_y + n[1] * (d + depth / 2)
        g = cv.grid(cx, cy, math.hypot(depth / 2, half) + 2)
        if g is None:
            return (cx, cy, 0.0)
        sl, dx, dy = g
        u = dx * n[0] + dy * n[1]
        v = -dx * n[1] + dy * n[0]
        dist = np.maximum(np.abs(u) - depth / 2, np.abs(v) - half)
        cv.paint(sl, coverage(dist), flat_colour(colour, dx, dy, rng, r))
        return (cx, cy, math.hypot(depth / 2, half))
    ro = r * rng.uniform(0.5, 1.2)
    # Lens area of two circles at distance D, bisected for the share.
    def lens(D):
        if D >= r + ro:
            return 0.0
        if D <= abs(r - ro):
            return math.pi * min(r, ro) ** 2 / (math.pi * r * r)
        a1 = r * r * math.acos((D * D + r * r - ro * ro) / (2 * D * r))
        a2 = ro * ro * math.acos((D * D + ro * ro - r * r) / (2 * D * ro))
        a3 = 0.5 * math.sqrt((-D + r + ro) * (D + r - ro) * (D - r + ro) * (D + r + ro))
        return (a1 + a2 - a3) / (math.pi * r * r)
    D = bisect_falling(lens, abs(r - ro), r + ro, share)
    cx, cy = disc_x + n[0] * D, disc_y + n[1] * D
    draw_ball(cv, rng, cx, cy, ro, ro, 0.0, colour, 0, random_light(rng))
    return (cx, cy, ro)


# ---------------------------------------------------------------- camera


def _convolve(img, taps):
    """Sum of shifted copies: taps is a list of (dy, dx, weight); edges repeated."""
    p = max(max(abs(dy), abs(dx)) for dy, dx, _ in taps)
    h, w = img.shape[:2]
    padded = np.pad(img, ((p, p), (p, p), (0, 0)), mode="edge")
    out = np.zeros_like(img)
    for dy, dx, wgt in taps:
        out += np.float32(wgt) * padded[p + dy:p + dy + h, p + dx:p + dx + w]
    return out


def gaussian_blur(img, sigma):
    if sigma < 0.2:
        return img
    k = int(math.ceil(3 * sigma))
    xs = np.arange(-k, k + 1)
    wts = np.exp(-0.5 * (xs / sigma) ** 2)
    wts /= wts.sum()
    img = _convolve(img, [(0, int(x), w) for x, w in zip(xs, wts)])
    return _convolve(img, [(int(x), 0, w) for x, w in zip(xs, wts)])


def motion_blur(img, length, angle):
    n = max(2, int(round(length * 2)))
    taps: dict[tuple[int, int], float] = {}
    for t in np.linspace(-length / 2, length / 2, n):
        fx, fy = t * math.cos(angle), t * math.sin(angle)
        x0, y0 = math.floor(fx), math.floor(fy)
        for oy, ox, w in ((0, 0, (1 - (fx - x0)) * (1 - (fy - y0))), (0, 1, (fx - x0) * (1 - (fy - y0))),
                          (1, 0, (1 - (fx - x0)) * (fy - y0)), (1, 1, (fx - x0) * (fy - y0))):
            key = (y0 + oy, x0 + ox)
            taps[key] = taps.get(key, 0.0) + w / n
    return _convolve(img, [(dy, dx, w) for (dy, dx), w in taps.items() if w > 1e-4])


def jpeg_round_trip(img_u8: np.ndarray, quality: int) -> np.ndarray | None:
    """JPEG round trip (4:2:0 chroma, as cameras store it); None without an encoder."""
    try:
        import cv2

        ok, buf = cv2.imencode(".jpg", img_u8[:, :, ::-1], [cv2.IMWRITE_JPEG_QUALITY, int(quality)])
        return cv2.imdecode(buf, cv2.IMREAD_COLOR)[:, :, ::-1].copy() if ok else None
    except ImportError:
        pass
    try:
        from PIL import Image
    except ImportError:
        return None
    out = io.BytesIO()
    Image.fromarray(img_u8).save(out, "JPEG", quality=int(quality), subsampling=2)
    return np.asarray(Image.open(io.BytesIO(out.getvalue())).convert("RGB")).copy()


def camera(img, rng, mild: bool, use_jpeg: bool = True) -> tuple[np.ndarray, dict]:
    """Lighting, exposure, blur, noise and JPEG: what a camera does to the scene.
    Every draw is made whatever is applied, so that the scene stays the same."""
    h, w = img.shape[:2]
    grad_ang = rng.uniform(0, 2 * math.pi)
    grad = rng.uniform(0, 0.4)
    vig = rng.uniform(0, 0.45)
    gain = rng.uniform(0.8, 1.15)
    wb = rng.uniform(0.95, 1.05, 3).astype(np.float32)
    blur_kind = rng.choice(["none", "gauss", "gauss", "motion"], p=[0.25, 0.3, 0.3, 0.15])
    sigma = rng.uniform(0.3, 2.0)
    mlen, mang = rng.uniform(2, 6), rng.uniform(0, math.pi)
    noise = rng.uniform(0, 6) / 255 if rng.random() < 0.85 else 0.0
    shot = rng.uniform(0, 4e-4)
    quality = int(rng.integers(50, 96)) if rng.random() < 0.75 else None
    noise_seed = int(rng.integers(2**31))
    if mild:
        grad, vig, sigma, noise, shot = grad / 3, vig / 3, sigma / 3, noise / 2, shot / 2
        blur_kind = "gauss" if blur_kind == "motion" else blur_kind
        quality = None if quality is None else max(quality, 85)
    yy = np.arange(h, dtype=np.float32)[:, None] - np.float32(h / 2)
    xx = np.arange(w, dtype=np.float32)[None, :] - np.float32(w / 2)
    half = math.hypot(h, w) / 2
    light = 1 + (grad / half) * (xx * math.cos(grad_ang) + yy * math.sin(grad_ang))
    light *= 1 - (vig / half ** 2) * (xx * xx + yy * yy)
    img *= (light * gain)[:, :, None]
    img *= wb[None, None, :]
    if blur_kind == "gauss":
        img = gaussian_blur(img, sigma)
    elif blur_kind == "motion":
        img = motion_blur(img, mlen, mang)
    nrng = np.random.default_rng(noise_seed)
    if noise > 0 or shot > 0:
        sd = np.sqrt(noise ** 2 + shot * np.clip(img, 0, 1))
        img = img + nrng.standard_normal(img.shape, dtype=np.float32) * sd
    out = (np.clip(img, 0, 1) * 255 + 0.5).astype(np.uint8)
    applied_q = None
    if quality is not None and use_jpeg:
        j = jpeg_round_trip(out, quality)
        if j is not None:
            out, applied_q = j, quality
    info = {"gradient": round(grad, 3), "vignetting": round(vig, 3), "gain": round(gain, 3), "blur": str(blur_kind),
            "sigma": round(sigma, 2) if blur_kind == "gauss" else 0.0,
            "motion": round(mlen, 2) if blur_kind == "motion" else 0.0,
            "noise": round(noise * 255, 2), "jpeg": applied_q}
    return out, info


# ---------------------------------------------------------------- scenes


def _free(placed, x, y, R, gap):
    return all(math.hypot(x - px, y - py) >= R + pr + gap for px, py, pr in placed)


def _spot(rng, placed, R, h, w, gap, border_ok=False, tries=200):
    """A centre for an object of extent R clear of the placed ones; None if none found."""
    for _ in range(tries):
        if border_ok:  # across an edge: up to a fifth of a disc outside the frame
            side, depth = int(rng.integers(4)), rng.uniform(0.5 * R, R)
            along = rng.uniform(0.5 * R, (w if side < 2 else h) - 1 - 0.5 * R)
            x, y = [(along, depth), (along, h - 1 - depth), (depth, along), (w - 1 - depth, along)][side]
        else:
            if 2 * R + 6 > min(h, w):
                return None
            x, y = rng.uniform(R + 3, w - 4 - R), rng.uniform(R + 3, h - 4 - R)
        if _free(placed, x, y, R, gap):
            return x, y
    return None


def _log_uniform(rng, lo, hi):
    return math.exp(rng.uniform(math.log(lo), math.log(hi)))


def start_scene(rng, seed, kind, size, colour, photos) -> tuple[Canvas, Truth, np.ndarray, float]:
    """The target's colour and the background: the canvas, the truth to fill, the
    colour (RGB 0..1) and the scale of the frame against 640x480."""
    h, w = size
    scale = min(h / 480, w / 640)
    if colour is None:
        name = list(COLOURS)[rng.integers(len(COLOURS))]
        rgb = hsv_rgb(*COLOURS[name])
    elif isinstance(colour, str):
        name, rgb = colour, hsv_rgb(*COLOURS[colour])
    else:
        name, rgb = "custom", np.asarray(colour, np.float32)
    # A background of the target's own colour hides it from any colour-based
    # detector and measures nothing else: such crops are drawn again.
    for _ in range(8):
        img, bg_name = background(rng, h, w, photos)
        if _colour_share(img, rgb) <= 0.03:
            break
    cv = Canvas(np.ascontiguousarray(img, dtype=np.float32))
    truth = Truth(colour=name, rgb=tuple(float(c) for c in rgb), kind=kind, seed=seed, size=(h, w), background=bg_name)
    return cv, truth, rgb, scale


def place_clutter(rng, rgb, n_dis, n_other, avoid, h, w, scale):
    """Spots for n_dis distractors of the target's colour and n_other balls and
    blobs of other colours, clear of the circles (x, y, reach) in `avoid`:
    a list of (kind, x, y, extent, same colour)."""
    r_lo, r_hi = R_MIN * scale, min(R_MAX * scale, 190.0)
    weights = {"ring": 3, "coil": 2, "strip": 3, "patch": 3, "specks": 2, "half-disc": 2, "mat": 1, "wheel": 1}
    names = list(weights)
    probs = np.array([weights[k] for k in names], float)
    probs /= probs.sum()
    clutter = []
    placed: list[tuple[float, float, float]] = []
    for j in range(n_dis + n_other):
        same = j < n_dis
        if same:
            kind_d = names[rng.choice(len(names), p=probs)]
        else:
            kind_d = "other-ball" if rng.random() < 0.6 else "other-blob"
        R = distractor_extent(kind_d if same else "ball", rng, scale)
        if kind_d == "other-ball":
            R = _log_uniform(rng, r_lo, r_hi)
        big = kind_d in ("mat", "strip")
        spot = _spot(rng, avoid + placed, R, h, w, rng.uniform(2, 12), border_ok=big or rng.random() < 0.2)
        if spot is None:
            continue
        placed.append((spot[0], spot[1], R))
        clutter.append((kind_d, spot[0], spot[1], R, same))
    return clutter


def draw_clutter(cv, rng, rgb, clutter, truth) -> None:
    """Draws what place_clutter placed and lists it in the truth."""
    for kind_d, x, y, R, same in clutter:
        if same:
            DISTRACTORS[kind_d](cv, rng, x, y, R, _vary(rgb, rng, 4, 0.15, 0.2))
        elif kind_d == "other-ball":
            if rng.random() < 0.5:
                draw_shadow(cv, rng, x, y, R, random_light(rng))
            draw_ball(cv, rng, x, y, R, R, 0.0, _other_colour(rgb, rng), 0, random_light(rng))
        else:
            draw_patch(cv, rng, x, y, R, _other_colour(rgb, rng))
        truth.distractors.append(Distractor(kind_d, round(x, 3), round(y, 3), round(R, 3), same))


def target_lights(rng, n) -> list[tuple[float, float, float]]:
    """One main light for the scene, a little different on each of n targets."""
    scene_light = random_light(rng)
    lights = []
    for _ in range(n):
        lx, ly, lz = scene_light
        jit = rng.normal(0, 0.15, 3)
        lt = np.array([lx, ly, lz]) + jit
        lt[2] = max(lt[2], 0.25)
        lights.append(tuple(lt / np.linalg.norm(lt)))
    return lights


def target_truth(cv, target, x, y, a, b, theta, is_disc, touching) -> Disc | Ellipse | None:
    """The truth of target number `target` (as painted) from what the canvas
    shows of it; None when it was not drawn."""
    h, w = cv.h, cv.w
    near = cv.grid(x, y, a + 3)
    if near is None or target not in cv.visible:
        return None
    # Whatever was drawn over it later, within the frame.
    hidden = 1 - float(cv.visible[target][1].sum()) / max(cv.drawn[target], 1e-6)
    sl, dx, dy = near
    if is_disc:
        ring = np.sqrt(dx * dx + dy * dy) <= a + 2.5
    else:
        ring = ellipse_distance(dx, dy, a, b, theta)[0] <= 2.5
    ids = cv.target_id[sl][ring]
    # Anything else within 2 px of the outline.
    others = bool(np.any(cv.other[sl][ring] > 0.02)) or bool(np.any((ids != 0) & (ids != target)))
    border = is_disc and (x - a < -0.5 or y - a < -0.5 or x + a > w - 0.5 or y + a > h - 0.5)
    occluded = round(max(0.0, hidden), 3)
    near_edge = x - a < 2.5 or y - a < 2.5 or x + a > w - 3.5 or y + a > h - 3.5
    clean = not (others or touching or occluded > 0.01 or near_edge)
    if is_disc:
        return Disc(round(x, 3), round(y, 3), round(a, 3), clean, occluded, touching, border)
    return Ellipse(round(x, 3), round(y, 3), round(a, 3), round(b, 3), round(theta, 4), clean)


def make_scene(seed: int, kind: str = "mixed", size: tuple[int, int] = (480, 640),
               colour: str | tuple[float, float, float] | None = None, *, photos: bool = True,
               jpeg: bool = True, effects: bool = True, calibration: bool = False) -> tuple[np.ndarray, Truth]:
    """One frame and its truth. `colour`: a name of COLOURS (its canonical shade), an
    RGB triple in 0..1 (e.g. from set_colour), or None (drawn from the seed).
    `calibration` adds a clean disc of radius 20-60 (x scale) to calibrate on."""
    if kind not in KINDS:
        raise ValueError(f"kind must be one of {KINDS}")
    h, w = size
    rng = np.random.default_rng([seed, KINDS.index(kind)])
    cv, truth, rgb, scale = start_scene(rng, seed, kind, size, colour, photos)
    r_lo, r_hi = R_MIN * scale, min(R_MAX * scale, 190.0)

    # --- the targets: (x, y, a, b, theta, is_disc, pair id)
    targets: list[list] = []
    placed: list[tuple[float, float, float]] = []
    if kind == "clean":
        n_disc, n_ell, n_pairs = int(rng.integers(1, 5)), 0, 0
    elif kind == "empty":
        n_disc = n_ell = n_pairs = 0
    else:
        total = int(rng.integers(0, 6))
        n_ell = 0 if kind == "discs" else (total if kind == "ellipses" else int(rng.binomial(total, 0.3)))
        n_disc = total - n_ell
        n_pairs = int(n_disc >= 2 and rng.random() < 0.35)
    cal_index = -1
    if calibration and kind not in ("empty", "ellipses"):
        r = rng.uniform(20, 60) * scale
        spot = _spot(rng, placed, r * 1.1, h, w, 8)
        if spot:
            cal_index = 0
            targets.append([spot[0], spot[1], r, r, 0.0, True, -1])
            placed.append((spot[0], spot[1], r * 1.1 + 4))
            n_disc = max(0, n_disc - 1)
    for p in range(n_pairs):
        r1 = _log_uniform(rng, max(r_lo, 8 * scale), r_hi * 0.7)
        r2 = min(max(r1 * rng.uniform(0.6, 1.4), r_lo), r_hi)
        gap = rng.uniform(-0.08 * min(r1, r2), 1.0)
        ang = rng.uniform(0, 2 * math.pi)
        dist = r1 + r2 + gap
        ext = (dist + r1 + r2) / 2
        spot = _spot(rng, placed, ext * 1.1, h, w, 4)
        if spot is None:
            continue
        mx, my = spot
        # The pair's midpoint of the span between the outer edges sits at the spot.
        off = (dist + r2 - r1) / 2
        x1, y1 = mx - math.cos(ang) * off, my - math.sin(ang) * off
        x2, y2 = x1 + math.cos(ang) * dist, y1 + math.sin(ang) * dist
        targets.append([x1, y1, r1, r1, 0.0, True, p])
        targets.append([x2, y2, r2, r2, 0.0, True, p])
        placed.append((mx, my, ext * 1.1 + 3))
        n_disc -= 2
    for _ in range(max(0, n_disc)):
        r = _log_uniform(rng, r_lo, r_hi) if kind != "clean" else _log_uniform(rng, max(r_lo, 10 * scale), r_hi * 0.8)
        border_ok = kind != "clean" and rng.random() < 0.15
        spot = _spot(rng, placed, r * 1.1, h, w, 6, border_ok)
        if spot is None:
            continue
        targets.append([spot[0], spot[1], r, r, 0.0, True, -1])
        placed.append((spot[0], spot[1], r * 1.1 + 3))
    for _ in range(n_ell):
        b = _log_uniform(rng, r_lo, min(r_hi, 60 * scale))
        a = min(b * rng.uniform(1.3, 2.5), 120 * scale)
        b = min(b, a / 1.3)
        theta = rng.uniform(-math.pi / 2, math.pi / 2)
        spot = _spot(rng, placed, a * 1.05, h, w, 6)
        if spot is None:
            continue
        targets.append([spot[0], spot[1], a, b, theta, False, -1])
        placed.append((spot[0], spot[1], a * 1.05 + 3))

    # --- occluders over some discs (not the calibration disc, not a pair, not at the border)
    occl: list[tuple[int, float, np.ndarray]] = []
    if kind not in ("clean", "empty"):
        for i, t in enumerate(targets):
            x, y, a, _, _, is_disc, pair = t
            inside = x - a >= 2 and y - a >= 2 and x + a <= w - 3 and y + a <= h - 3
            if is_disc and pair >= 0 or not is_disc or not inside or i == cal_index:
                continue
            if rng.random() < 0.3:
                occl.append((i, rng.uniform(0.1, 0.3), _other_colour(rgb, rng)))

    # --- distractors and other-colour clutter, clear of the targets
    n_dis = 0 if kind == "clean" else int(rng.integers(1 if kind == "empty" else 0, 6))
    n_other = 0 if kind == "clean" else int(rng.integers(0, 4))
    # Occluders reach past their disc: keep clutter away from that reach.
    reach = [(t[0], t[1], t[2] * (2.3 if any(o[0] == i for o in occl) else 1.1) + 2)
             for i, t in enumerate(targets)]
    clutter = place_clutter(rng, rgb, n_dis, n_other, reach, h, w, scale)

    # --- draw: clutter, shadows, targets, occluders
    draw_clutter(cv, rng, rgb, clutter, truth)
    lights = target_lights(rng, len(targets))
    for t, lt in zip(targets, lights):
        if t[5] and rng.random() < 0.5:
            draw_shadow(cv, rng, t[0], t[1], t[2], lt)
    for i, (t, lt) in enumerate(zip(targets, lights)):
        x, y, a, b, theta = t[:5]
        draw_ball(cv, rng, x, y, a, b, theta, _vary(rgb, rng, 2, 0.06, 0.08), i + 1, lt)
    for i, share, col in occl:
        x, y, r = targets[i][:3]
        draw_occluder(cv, rng, x, y, r, share, col)

    # --- the truth, from what was drawn
    for i, t in enumerate(targets):
        x, y, a, b, theta, is_disc, pair = t
        found = target_truth(cv, i + 1, x, y, a, b, theta, is_disc, pair >= 0)
        if isinstance(found, Disc):
            truth.discs.append(found)
        elif found is not None:
            truth.ellipses.append(found)

    if effects:
        frame, truth.camera = camera(cv.img, rng, mild=(kind == "clean"), use_jpeg=jpeg)
    else:
        frame = (np.clip(cv.img, 0, 1) * 255 + 0.5).astype(np.uint8)
    return frame, truth


def scene_set(colour: str, n: int, seed: int, size: tuple[int, int] = (480, 640), empty_every: int = 4,
              **kw) -> list[tuple[np.ndarray, Truth]]:
    """n frames of one target colour (one set of lighting for the colour), the
    first with a disc to calibrate on; every empty_every-th frame is empty."""
    rng = np.random.default_rng([seed, list(COLOURS).index(colour), 7])
    rgb = set_colour(colour, rng)
    base = int(rng.integers(2**31))
    out = []
    for i in range(n):
        kind = "empty" if empty_every and i % empty_every == empty_every - 1 else "mixed"
        out.append(make_scene(base + i, kind, size, rgb, calibration=(i == 0), **kw))
    return out
