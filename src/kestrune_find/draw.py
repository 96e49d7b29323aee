"""Pictures: drawing found shapes into frames.

Drawing is NumPy only (outlines, labels and a legend set into the frame's
pixels, text in a small built-in font), so that the camera loop can draw into
OpenCV's frames; reading and writing files is io.py's.
"""
from __future__ import annotations

import math
import re
from collections import Counter
from collections.abc import Iterable, Sequence

import numpy as np
import numpy.typing as npt

from .shapes import Band, Disc, Ellipse, Shape

Frame = npt.NDArray[np.uint8]

# --------------------------------------------------------------------------
# drawing
# --------------------------------------------------------------------------

RGB = tuple[int, int, int]

#: The built-in colour names are drawn in their own hue, so that the legend
#: reads naturally; the dark edge around every outline keeps a red outline
#: visible on a red ball.
NAMED_DRAWING_COLOURS: dict[str, RGB] = {
    "red": (255, 40, 40), "orange": (255, 150, 0), "yellow": (255, 235, 0), "green": (30, 215, 30),
    "blue": (40, 120, 255),
}

#: Colours for other names (colour files), in the order given: far from the
#: built-in hues and from each other, the most distinct first.
DRAWING_PALETTE: tuple[RGB, ...] = (
    (255, 0, 255), (0, 235, 255), (255, 255, 255), (170, 255, 60), (160, 100, 255), (255, 150, 200),
    (0, 170, 140), (205, 165, 110), (130, 200, 255), (255, 210, 140),
)

# A 5 x 8 pixel font for printable ASCII (32 to 126): eight rows a glyph, each
# row one base-32 digit whose five bits are the pixels from left to right.
# Capitals and digits use the top seven rows; the eighth holds descenders.
_FONT_ROWS = (
    "0000000044444040AA000000AAVAVAA04FKE5U40OP248J30CIK8LID044800000248884208422248004LEL400044V4400"
    "00000C48000V000000000CC001248G00EHJLPHE04C4444E0EH1248V0V2421HE026AIV220VGU11HE068GUHHE0V1248880"
    "EHHEHHE0EHHF12C00CC0CC000CC0C480248G842000V0V00084212480EH124040EH1DLLE0EHHVHHH0UHHUHHU0EHGGGHE0"
    "SIHHHIS0VGGUGGV0VGGUGGG0EHGNHHF0HHHVHHH0E44444E072222IC0HIKOKIH0GGGGGGV0HRLLHHH0HHPLJHH0EHHHHHE0"
    "UHHUGGG0EHHHLID0UHHUKIH0FGGE11U0V4444440HHHHHHE0HHHHHA40HHHLLLA0HHA4AHH0HHHA4440V1248GV0E88888E0"
    "0G842100E22222E04AH000000000000V8420000000E1FHF0GGMPHHU000EGGHE011DJHHF000EHVGE0698S888000FHHF1E"
    "GGMPHHH040C444E0206222ICGGIKOKI0C44444E000QLLLL000MPHHH000EHHHE000UHHUGG00FHHF1100MPGGG000FGE1U0"
    "88S8896000HHHJD000HHHA4000HHLLA000HA4AH000HHHF1E00V248V0244844204444444084424480008L2000"
)
GLYPH_WIDTH, GLYPH_HEIGHT = 5, 8
_FIRST_CHAR, _LAST_CHAR = 32, 126


def _font() -> npt.NDArray[np.bool_]:
    rows = np.array([int(digit, 32) for digit in _FONT_ROWS], dtype=np.uint8).reshape(-1, GLYPH_HEIGHT)
    bits = np.left_shift(np.uint8(1), np.arange(GLYPH_WIDTH - 1, -1, -1, dtype=np.uint8))
    glyphs: npt.NDArray[np.bool_] = np.not_equal(rows[:, :, None] & bits, 0)
    return glyphs  # glyph, row, column


FONT = _font()

#: Labels show at most this many characters of a name.
LABEL_CHARS = 24


def text_scale(height: int, width: int) -> int:
    """The factor that text is enlarged by on a frame of this size: 1 up to
    1000 pixels on the longer side, 2 up to 2000, and so on."""
    return max(1, -(-max(height, width) // 1000))


def render_text(text: str, scale: int = 1) -> npt.NDArray[np.bool_]:
    """The pixels of `text` in the built-in font (characters outside printable
    ASCII as '?'), enlarged `scale` times: a (8 * scale) x (6 * len - 1) * scale
    boolean array, one blank column between characters."""
    codes = [ord(ch) if _FIRST_CHAR <= ord(ch) <= _LAST_CHAR else ord("?") for ch in text]
    if not codes:
        return np.zeros((GLYPH_HEIGHT * scale, 0), dtype=bool)
    cells = np.zeros((len(codes), GLYPH_HEIGHT, GLYPH_WIDTH + 1), dtype=bool)
    cells[:, :, :GLYPH_WIDTH] = FONT[np.array(codes) - _FIRST_CHAR]
    line = cells.transpose(1, 0, 2).reshape(GLYPH_HEIGHT, -1)[:, :-1]
    return np.repeat(np.repeat(line, scale, axis=0), scale, axis=1)


def _hue_colour(k: int) -> RGB:
    # Past the palette: hues a golden angle apart, alternately strong and pale.
    hue = (k * 0.618033988749895) % 1.0
    saturation = 0.85 if k % 2 == 0 else 0.5
    channel = [min(1.0, max(0.0, abs((hue * 6.0 + shift) % 6.0 - 3.0) - 1.0)) for shift in (0.0, 4.0, 2.0)]
    return tuple(round(255 * (1.0 - saturation + saturation * c)) for c in channel)  # type: ignore[return-value]


def drawing_colours(names: Sequence[str]) -> dict[str, RGB]:
    """A drawing colour (R, G, B) for each name: the built-in colour names in a
    bright colour of their own hue, other names (colour files) the palette's
    colours in the order of their first appearance. The same list always gives
    the same colours, and adding a built-in name does not change the others."""
    if isinstance(names, str):
        raise TypeError("names must be a sequence of colour names, not one string")
    colours: dict[str, RGB] = {}
    others = 0
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"colour names must be strings, not {type(name).__name__}")
        if name in colours:
            continue
        if name in NAMED_DRAWING_COLOURS:
            colours[name] = NAMED_DRAWING_COLOURS[name]
        else:
            colours[name] = DRAWING_PALETTE[others] if others < len(DRAWING_PALETTE) else _hue_colour(others)
            others += 1
    return colours


def short_name(name: str) -> str:
    """How a colour is named in pictures: a colour file's base name without
    .json, a built-in name as it is."""
    base = re.split(r"[\\/]", name.rstrip("\\/"))[-1] or name
    return base[:-5] if base.lower().endswith(".json") and len(base) > 5 else base


def _label_names(names: Sequence[str]) -> dict[str, str]:
    short = {name: short_name(name) for name in names}
    # Two files of the same base name in different folders are named with
    # their folder, or by their whole paths when that is not enough.
    taken = Counter(short.values())
    for name, s in short.items():
        if taken[s] > 1:
            folder = re.split(r"[\\/]", name.rstrip("\\/"))[:-1]
            short[name] = "/".join(folder[-1:] + [s])
    taken = Counter(short.values())
    named = {name: s if taken[s] == 1 else name for name, s in short.items()}
    return {name: s if len(s) <= LABEL_CHARS else s[:LABEL_CHARS - 2] + ".." for name, s in named.items()}


def _luminance(colour: RGB) -> float:
    return 0.2126 * colour[0] + 0.7152 * colour[1] + 0.0722 * colour[2]


def _contrast(colour: RGB) -> RGB:
    """Black or white, whichever stands out from `colour`."""
    return (0, 0, 0) if _luminance(colour) >= 100 else (255, 255, 255)


Box = tuple[int, int, int, int]  # x0, y0, x1, y1; x1 and y1 exclusive


def _overlap(a: Box, b: Box) -> int:
    return max(0, min(a[2], b[2]) - max(a[0], b[0])) * max(0, min(a[3], b[3]) - max(a[1], b[1]))


def _fill(frame: Frame, box: Box, colour: RGB) -> None:
    x0, y0, x1, y1 = max(box[0], 0), max(box[1], 0), min(box[2], frame.shape[1]), min(box[3], frame.shape[0])
    if x0 < x1 and y0 < y1:
        frame[y0:y1, x0:x1] = colour


def _stamp(frame: Frame, x: int, y: int, pixels: npt.NDArray[np.bool_], colour: RGB) -> None:
    """Sets the pixels of `frame` where `pixels`, placed with its top-left
    corner at (x, y), is true; the part outside the frame is dropped."""
    h, w = pixels.shape
    x0, y0, x1, y1 = max(x, 0), max(y, 0), min(x + w, frame.shape[1]), min(y + h, frame.shape[0])
    if x0 < x1 and y0 < y1:
        frame[y0:y1, x0:x1][pixels[y0 - y:y1 - y, x0 - x:x1 - x]] = colour


def _stroke(frame: Frame, xs: npt.NDArray[np.float64], ys: npt.NDArray[np.float64], colour: RGB) -> None:
    """Sets the pixels nearest the points in `colour`, with a 1-pixel edge of
    black or white around them so the outline stands out on any background."""
    height, width = frame.shape[:2]
    # Bounds in floating point first: far-off points would overflow as integers.
    near = np.isfinite(xs) & np.isfinite(ys) & (xs > -2) & (xs < width + 1) & (ys > -2) & (ys < height + 1)
    ix, iy = np.rint(xs[near]).astype(np.intp), np.rint(ys[near]).astype(np.intp)
    for dx, dy, shade in [(dx, dy, _contrast(colour)) for dy in (-1, 0, 1) for dx in (-1, 0, 1)] + [(0, 0, colour)]:
        jx, jy = ix + dx, iy + dy
        keep = (jx >= 0) & (jx < width) & (jy >= 0) & (jy < height)
        frame[jy[keep], jx[keep]] = shade


#: Points of one outline at most (a radius of about 20000 pixels drawn whole).
MAX_OUTLINE_POINTS = 1 << 18


def _ellipse_points(x: float, y: float, a: float, b: float, theta: float,
                    thickness: int) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    # Half a pixel between samples along the largest outline drawn.
    n = min(MAX_OUTLINE_POINTS, max(16, int(math.ceil(4.0 * math.pi * (max(a, b) + thickness)))))
    t = np.linspace(0.0, 2.0 * math.pi, n, endpoint=False)
    c, s = math.cos(theta), math.sin(theta)
    xs, ys = [], []
    for k in range(thickness):
        u, v = (a + k) * np.cos(t), (b + k) * np.sin(t)
        xs.append(x + c * u - s * v)
        ys.append(y + s * u + c * v)
    d = np.arange(-4.0, 5.0)  # the centre, as a small cross
    xs += [x + d, np.full(9, x)]
    ys += [np.full(9, y), y + d]
    return np.concatenate(xs), np.concatenate(ys)


def _clip_segment(p: tuple[float, float], q: tuple[float, float],
                  box: tuple[float, float, float, float]) -> tuple[float, float] | None:
    """The part of p-q inside `box` (x0, y0, x1, y1) as parameters along it, or None."""
    t0, t1 = 0.0, 1.0
    d = (q[0] - p[0], q[1] - p[1])
    for delta, start, low, high in ((d[0], p[0], box[0], box[2]), (d[1], p[1], box[1], box[3])):
        if delta == 0.0:
            if not low <= start <= high:
                return None
            continue
        a, b = (low - start) / delta, (high - start) / delta
        t0, t1 = max(t0, min(a, b)), min(t1, max(a, b))
    return (t0, t1) if t0 <= t1 else None


def _band_points(band: Band, thickness: int,
                 height: int, width: int) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    (x0, y0), (x1, y1) = band.ends
    # A line is drawn along its middle, a stripe along both its edges.
    offsets = [0.0] if band.shape == "line" else [-band.width / 2.0, band.width / 2.0]
    xs, ys = [np.empty(0)], [np.empty(0)]
    for offset in offsets:
        for k in range(thickness):
            d = offset + (k - (thickness - 1) / 2.0)
            p, q = (x0 + band.nx * d, y0 + band.ny * d), (x1 + band.nx * d, y1 + band.ny * d)
            span = _clip_segment(p, q, (-2.0, -2.0, width + 1.0, height + 1.0))
            if span is None:
                continue
            n = max(2, int(math.ceil(2.0 * (span[1] - span[0]) * math.hypot(q[0] - p[0], q[1] - p[1]))) + 1)
            t = np.linspace(span[0], span[1], n)
            xs.append(p[0] + t * (q[0] - p[0]))
            ys.append(p[1] + t * (q[1] - p[1]))
    return np.concatenate(xs), np.concatenate(ys)


def _extent(shape: Shape) -> tuple[float, float, float, float]:
    """The box (x0, y0, x1, y1) around the shape as drawn."""
    if isinstance(shape, Disc):
        return shape.x - shape.r, shape.y - shape.r, shape.x + shape.r, shape.y + shape.r
    if isinstance(shape, Ellipse):
        c, s = math.cos(shape.theta), math.sin(shape.theta)
        ex, ey = math.hypot(shape.a * c, shape.b * s), math.hypot(shape.a * s, shape.b * c)
        return shape.x - ex, shape.y - ey, shape.x + ex, shape.y + ey
    (x0, y0), (x1, y1) = shape.ends
    half = shape.width / 2.0 if shape.shape == "stripe" else 0.0
    ox, oy = abs(shape.nx) * half, abs(shape.ny) * half
    return min(x0, x1) - ox, min(y0, y1) - oy, max(x0, x1) + ox, max(y0, y1) + oy


def _label_spots(shape: Shape, w: int, h: int, gap: int) -> list[tuple[float, float]]:
    """Top-left corners to try for a w x h label, the best first."""
    if isinstance(shape, Band):
        # Beside the middle of the part seen, on either side, then along it.
        reach = (shape.width / 2.0 if shape.shape == "stripe" else 0.0) + gap
        reach += (abs(shape.nx) * w + abs(shape.ny) * h) / 2.0  # the label's half extent across the band
        centres = [(shape.px + sign * shape.nx * reach, shape.py + sign * shape.ny * reach) for sign in (-1, 1)]
        (x0, y0), (x1, y1) = shape.ends
        for f in (0.25, 0.75):
            mx, my = x0 + f * (x1 - x0), y0 + f * (y1 - y0)
            centres += [(mx + sign * shape.nx * reach, my + sign * shape.ny * reach) for sign in (-1, 1)]
        return [(cx - w / 2.0, cy - h / 2.0) for cx, cy in centres]
    x0, y0, x1, y1 = _extent(shape)
    cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
    return [(cx - w / 2.0, y0 - gap - h), (cx - w / 2.0, y1 + gap), (x1 + gap, cy - h / 2.0),
            (x0 - gap - w, cy - h / 2.0), (cx - w / 2.0, cy + 6.0)]


def _place(spots: list[tuple[float, float]], w: int, h: int, height: int, width: int, taken: list[Box]) -> Box:
    """The first spot inside the frame that covers no other label, else the
    first inside the frame, else the first moved into the frame."""
    boxes = []
    for sx, sy in spots:
        if not (math.isfinite(sx) and math.isfinite(sy)):
            continue
        x, y = int(round(min(max(sx, -1e6), 1e6))), int(round(min(max(sy, -1e6), 1e6)))
        boxes.append((x, y, x + w, y + h))
    inside = [b for b in boxes if b[0] >= 0 and b[1] >= 0 and b[2] <= width and b[3] <= height]
    for box in inside:
        if not any(_overlap(box, other) for other in taken):
            return box
    if inside:
        return inside[0]
    x, y = (boxes[0][0], boxes[0][1]) if boxes else (0, 0)
    x, y = max(0, min(x, width - w)), max(0, min(y, height - h))
    return x, y, x + w, y + h


def _draw_label(frame: Frame, box: Box, text: npt.NDArray[np.bool_], colour: RGB, pad: int) -> None:
    # A box of the drawing colour with a 1-pixel edge; black or white text on it.
    _fill(frame, box, _contrast(colour))
    _fill(frame, (box[0] + 1, box[1] + 1, box[2] - 1, box[3] - 1), colour)
    _stamp(frame, box[0] + 1 + pad, box[1] + 1 + pad, text, _contrast(colour))


def _draw_legend(frame: Frame, names: list[str], titles: dict[str, str], colours: dict[str, RGB],
                 counts: Counter[str], extents: list[Box], scale: int) -> Box | None:
    """The legend in the corner that hides the fewest finds: a swatch, the name
    and the number of finds for each colour, on a darkened panel."""
    height, width = frame.shape[:2]
    pad, row = 3 * scale, (GLYPH_HEIGHT + 3) * scale
    swatch = GLYPH_HEIGHT * scale - scale
    fits = max(0, (height - 2 * pad + 3 * scale) // row)
    if fits == 0 or not names:
        return None
    lines = [(name, f"{titles[name]} ({counts[name]})") for name in names]
    if len(lines) > fits:  # the rest as one line, so that nothing is left out silently
        lines = lines[:fits - 1] + [("", f"+{len(names) - fits + 1} more")]
    texts = [(name, render_text(words, scale)) for name, words in lines]
    w = 2 * pad + swatch + 2 * scale + max(t.shape[1] for _, t in texts)
    h = 2 * pad + len(texts) * row - 3 * scale
    corners = [(0, 0), (width - w, 0), (0, height - h), (width - w, height - h)]
    x, y = min(corners, key=lambda c: sum(_overlap((c[0], c[1], c[0] + w, c[1] + h), e) for e in extents))
    x, y = max(0, x), max(0, y)
    box = (x, y, x + w, y + h)
    panel = frame[y:min(y + h, height), x:min(x + w, width)]
    panel //= 3
    for k, (name, text) in enumerate(texts):
        top = y + pad + k * row
        if name:
            _fill(frame, (x + pad, top, x + pad + swatch, top + swatch), (255, 255, 255))
            _fill(frame, (x + pad + 1, top + 1, x + pad + swatch - 1, top + swatch - 1), colours[name])
        _stamp(frame, x + pad + swatch + 2 * scale, top, text, (255, 255, 255))
    return box


def _check_colour(colour: object) -> RGB:
    if (not isinstance(colour, (tuple, list)) or len(colour) != 3
            or not all(isinstance(c, (int, np.integer)) and not isinstance(c, bool) and 0 <= c <= 255 for c in colour)):
        raise ValueError(f"colour must be three integers from 0 to 255 (R, G, B), got {colour!r}")
    return int(colour[0]), int(colour[1]), int(colour[2])


def draw_shapes(frame: Frame, shapes: Iterable[Shape], colour: tuple[int, int, int] | None = None,
                thickness: int = 2, labels: bool = True, legend: bool = True, bgr: bool = False,
                names: Sequence[str] | None = None) -> Frame:
    """Draws `shapes` into `frame` (H x W x 3 uint8), in place, and returns it:
    discs and ellipses with a cross at the centre, lines along their middle,
    stripes along both edges, each only over the part seen, with a 1-pixel
    black or white edge so that they show on any background.

    Each colour name is drawn in its own colour (`drawing_colours`), or all in
    `colour` (R, G, B) when given. `labels` puts "NAME SCORE" beside each find,
    `legend` a swatch, the name and the number of finds of each colour in the
    corner that hides the fewest finds; `names` are the colours to list (in
    that order, found or not; others found follow), so that a colour keeps its
    drawing colour from frame to frame. A colour file is named by its base
    name. Text is larger on large frames (`text_scale`). `bgr=True` for frames
    stored B, G, R (OpenCV's)."""
    if not isinstance(frame, np.ndarray) or frame.dtype != np.uint8 or frame.ndim != 3 or frame.shape[2] != 3:
        raise ValueError("frame must be an H x W x 3 uint8 array")
    if not frame.flags.writeable:
        raise ValueError("frame must be writable (drawing is done in place)")
    if isinstance(thickness, bool) or not isinstance(thickness, int) or thickness < 1:
        raise ValueError(f"thickness must be a positive integer, got {thickness!r}")
    given = None if colour is None else _check_colour(colour)
    shapes = list(shapes)
    for shape in shapes:
        if not isinstance(shape, (Disc, Ellipse, Band)):
            raise TypeError(f"shapes must hold Disc, Ellipse, Line or Stripe records, not {type(shape).__name__}")
    # A record made by hand with a NaN or infinite place is listed but not drawn.
    drawn = [s for s in shapes if all(math.isfinite(v) for v in s.as_dict().values() if isinstance(v, float))]
    listed = list(dict.fromkeys([*(names or []), *(s.colour for s in shapes)]))
    colours = {name: given for name in listed} if given is not None else drawing_colours(listed)
    if bgr:
        colours = {name: (c[2], c[1], c[0]) for name, c in colours.items()}
    height, width = frame.shape[:2]
    if height == 0 or width == 0:
        return frame

    for shape in drawn:
        if isinstance(shape, Disc):
            xs, ys = _ellipse_points(shape.x, shape.y, shape.r, shape.r, 0.0, thickness)
        elif isinstance(shape, Ellipse):
            xs, ys = _ellipse_points(shape.x, shape.y, shape.a, shape.b, shape.theta, thickness)
        else:
            xs, ys = _band_points(shape, thickness, height, width)
        _stroke(frame, xs, ys, colours[shape.colour])

    scale = text_scale(height, width)
    titles = _label_names(listed)
    extents = []
    for shape in drawn:
        x0, y0, x1, y1 = (min(max(v, -1e6), 1e6) for v in _extent(shape))
        extents.append((int(x0), int(y0), int(math.ceil(x1)), int(math.ceil(y1))))
    taken: list[Box] = []
    if legend:
        box = _draw_legend(frame, listed, titles, colours, Counter(s.colour for s in shapes), extents, scale)
        taken += [box] if box is not None else []
    if labels:
        pad = scale
        for shape, extent in zip(drawn, extents):
            if extent[2] < 0 or extent[3] < 0 or extent[0] >= width or extent[1] >= height:
                continue  # wholly outside: a label would point at nothing
            text = render_text(f"{titles[shape.colour]} {shape.score:.2f}", scale)
            w, h = text.shape[1] + 2 * pad + 2, text.shape[0] + 2 * pad + 2
            box = _place(_label_spots(shape, w, h, 2 * scale), w, h, height, width, taken)
            _draw_label(frame, box, text, colours[shape.colour], pad)
            taken.append(box)
    return frame
