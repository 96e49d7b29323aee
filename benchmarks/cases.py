"""Hard cases for the detection benchmark: seeded camera-like frames drawn with
the building blocks of scenes.py (backgrounds, shaded balls, clutter, camera),
one kind of frame per case, with their truth.

    frame, truth = make_case(seed, "hidden", colour="red")
    frame, truth = make_case(seed, "hidden", empty=True)   # the same frame without its balls

  hidden      balls partly behind things of other colours in front of them: bars
              (grey, brown, white, black, other hues), thin curved cables, hands
              (a skin-toned palm with fingers over the ball), robot parts (dark,
              grey or metallic rectangles); mostly 10-45 % hidden, some 55-85 %
  piles       touching balls of one colour and about one size: boxes of 10-20 in a
              grid or hexagonal packing (the box's walls of another colour), rows
              on a floor, two layers (the upper one over the lower one's gaps)
  held        a ball in a hand (the palm behind it, fingers and thumb over its
              rim), or touching an object of its own hue: a box, a strip, a cloth
  reflection  balls standing on a glossy floor over their mirrored, fainter,
              blurred reflection, which touches them
  small       balls of radius 6-10 among the usual clutter

A ball hidden more than half (by an object, or by the balls lying over it) is
don't-care (Truth.dont_care): finding it is neither right nor wrong. The case's
own objects are listed as distractors (bar, cable, hand, robot-part, box,
strip, cloth, reflection), so that a false find says where it landed.

empty=True draws the same frame without its target balls and what belongs to
them (their shadows and reflections): every other object stays where it was,
so false finds per empty frame are counted on the case's own clutter. The
balls draw from random streams of their own, which is what keeps the rest of
the frame the same.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

import scenes
from scenes import COLOURS, Distractor, DontCare, Truth, coverage

CASES = ("hidden", "piles", "held", "reflection", "small")


# ---------------------------------------------------------------- flat objects


@dataclass
class Piece:
    """A flat object: a signed distance in its own axes (u along `angle`, v
    across, the origin at (x, y)) and a surface colour. `ext` holds it."""
    kind: str
    x: float
    y: float
    angle: float
    ext: float
    sdf: Callable      # (u, v) -> signed distance, px
    surface: Callable  # (rng, d, u, v, dx, dy) -> colour, H x W x 3
    same_colour: bool = False

    def local(self, dx, dy):
        c, s = math.cos(self.angle), math.sin(self.angle)
        return dx * c + dy * s, -dx * s + dy * c

    def paint(self, cv, rng) -> None:
        g = cv.grid(self.x, self.y, self.ext)
        if g is None:
            return
        sl, dx, dy = g
        u, v = self.local(dx, dy)
        d = self.sdf(u, v)
        cv.paint(sl, coverage(d), self.surface(rng, d, u, v, dx, dy))

    def note(self) -> Distractor:
        return Distractor(self.kind, round(self.x, 3), round(self.y, 3), round(self.ext, 3), self.same_colour)


def box_sdf(u, v, cu, cv_, hu, hv, corner=0.0):
    """A rectangle of half-sizes (hu, hv) around (cu, cv_), corners rounded."""
    qx = np.abs(u - cu) - (hu - corner)
    qy = np.abs(v - cv_) - (hv - corner)
    return np.hypot(np.maximum(qx, 0), np.maximum(qy, 0)) + np.minimum(np.maximum(qx, qy), 0) - corner


def capsule_sdf(u, v, a, b, rad):
    """A segment from a to b (u, v points), thickened by rad."""
    bu, bv = b[0] - a[0], b[1] - a[1]
    pu, pv = u - a[0], v - a[1]
    t = np.clip((pu * bu + pv * bv) / max(bu * bu + bv * bv, 1e-9), 0, 1)
    return np.hypot(pu - t * bu, pv - t * bv) - rad


def flat(albedo, ext):
    return lambda rng, d, u, v, dx, dy: scenes.flat_colour(albedo, dx, dy, rng, ext)


def rounded(albedo, ext, half, low=0.6):
    """A flat colour darkening towards the outline over `half` px: a finger, a
    cable, a pole."""
    def surface(rng, d, u, v, dx, dy):
        t = np.clip(1 + d / half, 0, 1)
        return scenes.flat_colour(albedo, dx, dy, rng, ext) * (low + (1 - low) * np.sqrt(1 - t * t))[:, :, None]
    return surface


def metal(albedo, ext, width):
    """Brushed metal: a flat grey with a bright streak along the part."""
    def surface(rng, d, u, v, dx, dy):
        v0 = rng.uniform(-0.5, 0.5) * width
        streak = rng.uniform(0.3, 0.7) * np.exp(-((v - v0) / (0.15 * width)) ** 2)
        col = scenes.flat_colour(albedo, dx, dy, rng, ext)
        return col + streak[:, :, None] * (1 - col)
    return surface


def hidden_share(piece: Piece, x, y, r) -> float:
    """The share of the disc (x, y, r) the piece covers."""
    k = int(math.ceil(r + 2))
    ys, xs = np.mgrid[math.floor(y) - k:math.floor(y) + k + 2, math.floor(x) - k:math.floor(x) + k + 2]
    dx, dy = (xs - x).astype(np.float32), (ys - y).astype(np.float32)
    disc = coverage(np.sqrt(dx * dx + dy * dy) - r)
    u, v = piece.local(dx + np.float32(x - piece.x), dy + np.float32(y - piece.y))
    return float((disc * coverage(piece.sdf(u, v))).sum() / disc.sum())


def fitted(make, x, y, r, lo, hi, share) -> Piece:
    """make(t) with t in [lo, hi] such that it hides about `share` of the disc
    (the share falls as t grows; the nearest end when out of reach)."""
    t = scenes.bisect_falling(lambda t: hidden_share(make(t), x, y, r), lo, hi, share, steps=22)
    return make(t)


# ---------------------------------------------------------------- colours


def skin(rng) -> np.ndarray:
    return scenes.hsv_rgb(rng.uniform(8, 30), rng.uniform(0.25, 0.6), rng.uniform(0.35, 0.95))


def hue_gap(rgb, hue) -> float:
    return abs((scenes._hsv_of(rgb)[0] - hue + 180) % 360 - 180)


def occluder_colour(rgb, rng) -> np.ndarray:
    """A bar's or a cable's colour: grey of any brightness, brown (not beside a
    target of about that hue), white, black or another hue."""
    pick = rng.choice(["grey", "brown", "white", "black", "hue"], p=[0.3, 0.15, 0.1, 0.15, 0.3])
    if pick == "brown" and hue_gap(rgb, 28) >= 40:
        return scenes.hsv_rgb(rng.uniform(20, 35), rng.uniform(0.45, 0.75), rng.uniform(0.2, 0.5))
    if pick == "white":
        return np.full(3, rng.uniform(0.85, 0.97), np.float32)
    if pick == "black":
        return np.full(3, rng.uniform(0.03, 0.1), np.float32)
    if pick == "hue":
        return scenes._other_colour(rgb, rng)
    return np.full(3, rng.uniform(0.05, 0.95), np.float32)


def robot_colour(rng) -> tuple[np.ndarray, bool]:
    """Dark or grey plastic, or metal (a little cool): (colour, is metal)."""
    pick = rng.choice(["dark", "grey", "metal"])
    if pick == "dark":
        return np.full(3, rng.uniform(0.05, 0.2), np.float32), False
    if pick == "grey":
        return np.full(3, rng.uniform(0.3, 0.6), np.float32), False
    return scenes.hsv_rgb(rng.uniform(190, 230), rng.uniform(0.0, 0.12), rng.uniform(0.5, 0.8)), True


# ---------------------------------------------------------------- the case's objects


def bar(rgb, rng, x, y, r, share) -> Piece:
    """A bar or pole across the ball, moved off its centre until it hides `share`."""
    ang = rng.uniform(0, math.pi)
    width = r * rng.uniform(0.4, 1.2)
    half_len = r * rng.uniform(2.5, 8)
    col = occluder_colour(rgb, rng)
    pole = rng.random() < 0.5
    surface = rounded(col, half_len, width / 2, 0.55) if pole else flat(col, half_len)

    def make(t):
        return Piece("bar", x, y, ang, math.hypot(abs(t) + width / 2, half_len) + 2,
                     lambda u, v: np.maximum(np.abs(u - t) - width / 2, np.abs(v) - half_len), surface)
    return fitted(make, x, y, r, 0.0, r + width / 2, share)


def cable(rgb, rng, x, y, r) -> Piece:
    """A thin curved cable (2-6 px) across the ball."""
    ang = rng.uniform(0, math.pi)
    width = rng.uniform(2, 6)
    off = rng.uniform(-0.7, 0.7) * r
    half_len = r * rng.uniform(3, 9)
    bend = rng.uniform(-1.5, 1.5) / half_len
    col = occluder_colour(rgb, rng)

    def sdf(u, v):
        along = u - off - bend * v * v
        return np.maximum(np.abs(along) / np.sqrt(1 + (2 * bend * v) ** 2) - width / 2, np.abs(v) - half_len)
    return Piece("cable", x, y, ang, math.hypot(abs(off) + abs(bend) * half_len ** 2 + width, half_len) + 2, sdf,
                 rounded(col, half_len, width / 2, 0.5))


def robot_part(rgb, rng, x, y, r, share) -> Piece:
    """A rectangle of a robot's body over one side, moved in until it hides `share`."""
    ang = rng.uniform(0, 2 * math.pi)
    depth, half = r * rng.uniform(1.3, 3.0), r * rng.uniform(0.9, 2.0)
    across = rng.uniform(-0.3, 0.3) * r
    corner = rng.uniform(0, 0.2) * min(depth, 2 * half)
    col, is_metal = robot_colour(rng)
    surface = metal(col, depth, 2 * half) if is_metal else flat(col, depth)

    def make(e):
        return Piece("robot-part", x, y, ang, math.hypot(abs(e) + depth, abs(across) + half) + 2,
                     lambda u, v: box_sdf(u, v, e + depth / 2, across, depth / 2, half, corner), surface)
    return fitted(make, x, y, r, -r - 2, r + 2, share)


@dataclass
class Hand:
    """A hand's shape in its own axes: fingers pointing to -u, their tips near
    u = 0, the palm and the arm towards +u."""
    width: float
    fingers: list = field(default_factory=list)  # (tip, base, radius) in (u, v)
    palm: tuple = ()                             # centre u, half-sizes, corner
    thumb: tuple = ()
    arm: tuple = ()

    @classmethod
    def drawn(cls, rng, width) -> "Hand":
        hand = cls(width)
        lengths = np.array([0.85, 1.0, 0.95, 0.75]) * rng.uniform(0.8, 1.1) * width
        spread = rng.uniform(0.0, 0.12)
        rad = width / 8 * rng.uniform(0.75, 0.95)  # gaps between the fingers when below width / 8
        top = float(lengths.max())
        for k, ln in enumerate(lengths):
            v = (k - 1.5) * width / 4
            tip = (top - ln + rad, v + (k - 1.5) * spread * ln)
            hand.fingers.append((tip, (top + rad, v), rad))
        hand.palm = (top + 0.45 * width, 0.5 * width, 0.5 * width, 0.2 * width)
        side = rng.choice([-1.0, 1.0])
        hand.thumb = ((top + 0.1 * width, side * 0.75 * width), (top + 0.6 * width, side * 0.3 * width), 0.14 * width)
        arm_len = width * rng.uniform(1.0, 3.0)
        hand.arm = ((top + 0.7 * width, 0.0), (top + 0.7 * width + arm_len, rng.uniform(-0.3, 0.3) * width),
                    0.42 * width)
        return hand

    @property
    def reach(self) -> float:
        return self.arm[1][0] + self.arm[2] + 2

    def sdf(self, u, v):
        cu, hu, hv, corner = self.palm
        d = np.minimum(box_sdf(u, v, cu, 0.0, hu, hv, corner), capsule_sdf(u, v, *self.arm))
        for a, b, rad in self.fingers + [self.thumb]:
            d = np.minimum(d, capsule_sdf(u, v, a, b, rad))
        return d


def hand_over(rng, x, y, r, share) -> Piece:
    """A hand reaching over the ball from one side, its fingers over it, moved
    in until it hides `share`."""
    ang = rng.uniform(0, 2 * math.pi)
    hand = Hand.drawn(rng, max(16.0, r * rng.uniform(1.0, 2.0)))
    surface = rounded(skin(rng), hand.width, hand.width / 8, 0.65)

    def make(e):
        return Piece("hand", x, y, ang, abs(e) + hand.reach, lambda u, v: hand.sdf(u - e, v), surface)
    return fitted(make, x, y, r, -r - 1.2 * hand.width, r + 2, share)  # from the palm over it to out of reach


# ---------------------------------------------------------------- a plan of a frame


@dataclass
class Plan:
    """What a case puts in the frame, in drawing order. Each step belongs to a
    target ball (1, 2, ...: left out of an empty frame, drawn from the ball's own
    random stream) or to the scene (0)."""
    targets: list = field(default_factory=list)  # [x, y, r, touching]
    under: list = field(default_factory=list)    # steps drawn before the clutter: floors, boxes
    steps: list = field(default_factory=list)    # (owner, draw(cv, rng)) after it
    reach: list = field(default_factory=list)    # (x, y, R) the clutter keeps clear of
    notes: list = field(default_factory=list)    # (owner, Distractor)

    def target(self, x, y, r, touching=False) -> int:
        self.targets.append([x, y, r, touching])
        return len(self.targets)

    def ball(self, owner, rgb, light, dim=1.0) -> None:
        x, y, r, _ = self.targets[owner - 1]
        self.steps.append((owner, lambda cv, g: scenes.draw_ball(
            cv, g, x, y, r, r, 0.0, scenes._vary(rgb, g, 2, 0.06, 0.08) * np.float32(dim), owner, light)))

    def shadow(self, owner, light) -> None:
        x, y, r, _ = self.targets[owner - 1]
        self.steps.append((owner, lambda cv, g: scenes.draw_shadow(cv, g, x, y, r, light)))

    def piece(self, p: Piece) -> None:
        self.steps.append((0, p.paint))
        self.notes.append((0, p.note()))


def _balls(rng, n, radius, spacing, h, w):
    """Up to n separate balls (x, y, r) of radius radius(), each clear of the
    others by `spacing` radii."""
    placed, out = [], []
    for _ in range(n):
        r = radius()
        spot = scenes._spot(rng, placed, r * spacing, h, w, 6)
        if spot is not None:
            placed.append((spot[0], spot[1], r * spacing))
            out.append((spot[0], spot[1], r))
    return out


def _loose(plan, rng, rgb, balls) -> list[int]:
    """Separate balls, half of them over a contact shadow: their numbers."""
    ids = []
    for (x, y, r), light in zip(balls, scenes.target_lights(rng, len(balls))):
        ids.append(plan.target(x, y, r))
        if rng.random() < 0.5:
            plan.shadow(ids[-1], light)
        plan.ball(ids[-1], rgb, light)
    return ids


def _required_share(rng) -> float:
    """Mostly 10-45 % hidden; a quarter of the balls more than half."""
    return rng.uniform(0.1, 0.45) if rng.random() < 0.75 else rng.uniform(0.55, 0.85)


def plan_hidden(plan, rng, rgb, h, w, scale):
    n = int(rng.integers(1, 5))
    balls = _balls(rng, n, lambda: scenes._log_uniform(rng, 14 * scale, 70 * scale), 1.6, h, w)
    _loose(plan, rng, rgb, balls)
    pieces = []
    for x, y, r in balls:
        share = _required_share(rng)
        kind = rng.choice(["bar", "robot-part", "hand", "cables"], p=[0.3, 0.25, 0.25, 0.2])
        if kind == "bar":
            pieces.append(bar(rgb, rng, x, y, r, share))
        elif kind == "robot-part":
            pieces.append(robot_part(rgb, rng, x, y, r, share))
        elif kind == "hand":
            pieces.append(hand_over(rng, x, y, r, share))
        else:
            pieces += [cable(rgb, rng, x, y, r) for _ in range(int(rng.integers(2, 5)))]
        if kind != "cables" and rng.random() < 0.3:
            pieces.append(cable(rgb, rng, x, y, r))
        plan.reach.append((x, y, 2.5 * r))
    for p in pieces:
        plan.piece(p)


def _grid(cols, rows, pitch, hexagonal):
    """Centres of a grid of balls around (0, 0): square, or hexagonal (every
    other row shifted by half a pitch, the rows closer)."""
    dy = pitch * (math.sqrt(3) / 2 if hexagonal else 1.0)
    pts = [(c * pitch + (pitch / 2 if hexagonal and k % 2 else 0.0), k * dy) for k in range(rows) for c in range(cols)]
    xs, ys = [p[0] for p in pts], [p[1] for p in pts]
    mx, my = (min(xs) + max(xs)) / 2, (min(ys) + max(ys)) / 2
    return [(px - mx, py - my) for px, py in pts], (max(xs) - min(xs)) / 2, (max(ys) - min(ys)) / 2


TOUCH = 1.5  # px between two balls that blur and JPEG close
GRIDS = [(5, 2), (4, 3), (5, 3), (4, 4), (6, 3), (5, 4), (7, 2), (6, 2)]


def plan_piles(plan, rng, rgb, h, w, scale):
    style = rng.choice(["box", "box-hex", "row", "layers"], p=[0.3, 0.25, 0.2, 0.25])
    theta = rng.uniform(-0.25, 0.25)
    if style == "row":
        n = int(rng.integers(4, 11))
        r = min(rng.uniform(12, 45) * scale, 0.42 * w / n)
        pitch = 2 * r + rng.uniform(-0.03 * r, 0.8)
        lower, half_w, half_h = _grid(n, 1, pitch, False)
        upper = []
        theta *= 0.5
    elif style == "layers":
        cols, rows = int(rng.integers(3, 6)), int(rng.integers(2, 5))
        r = min(rng.uniform(12, 28) * scale, 0.4 * w / cols, 0.4 * h / rows)
        pitch = 2 * r + rng.uniform(-0.03 * r, 0.5)
        lower, half_w, half_h = _grid(cols, rows, pitch, False)
        # The upper layer rests in the lower one's gaps, a little nearer the camera.
        upper = [(px + pitch / 2, py + pitch / 2) for px, py in lower
                 if px + pitch < half_w + 1e-6 and py + pitch < half_h + 1e-6 and rng.random() < 0.85]
    else:
        hexagonal = style == "box-hex"
        cols, rows = GRIDS[int(rng.integers(len(GRIDS)))]
        fit_w = 0.85 * w / (2 * cols + (1 if hexagonal else 0))
        fit_h = 0.85 * h / (2 + (rows - 1) * (math.sqrt(3) if hexagonal else 2))
        r = min(rng.uniform(11, 30) * scale, fit_w, fit_h)
        pitch = 2 * r + rng.uniform(-0.03 * r, 0.6)
        lower, half_w, half_h = _grid(cols, rows, pitch, hexagonal)
        upper = []
    c, s = math.cos(theta), math.sin(theta)
    boxed = style in ("box", "box-hex") or (style == "layers" and rng.random() < 0.5)
    margin, wall = rng.uniform(0, 3), rng.uniform(4, 14) * scale
    in_u, in_v = half_w + r + margin, half_h + r + margin
    ext = math.hypot(in_u + wall, in_v + wall)
    bx, by = abs(c) * (in_u + wall) + abs(s) * (in_v + wall), abs(s) * (in_u + wall) + abs(c) * (in_v + wall)
    cx = rng.uniform(bx + 2, w - 3 - bx) if 2 * bx + 5 < w else w / 2
    cy = rng.uniform(by + 2, h - 3 - by) if 2 * by + 5 < h else h / 2
    plan.reach.append((cx, cy, ext + 4))
    if boxed:
        floor = scenes._other_colour(rgb, rng) * np.float32(rng.uniform(0.4, 0.8))
        walls = scenes._other_colour(rgb, rng)

        def box(cv, g):
            grid = cv.grid(cx, cy, ext + 2)
            if grid is None:
                return
            sl, dx, dy = grid
            u, v = dx * c + dy * s, -dx * s + dy * c
            inner = box_sdf(u, v, 0.0, 0.0, in_u, in_v)
            cv.paint(sl, coverage(inner), scenes.flat_colour(floor, dx, dy, g, ext))
            cv.paint(sl, coverage(np.maximum(box_sdf(u, v, 0.0, 0.0, in_u + wall, in_v + wall), -inner)),
                     scenes.flat_colour(walls, dx, dy, g, ext))
        plan.under.append((0, box))
        plan.notes.append((0, Distractor("box", round(cx, 3), round(cy, 3), round(ext, 3), False)))
    layers = [(p, 1.0) for p in lower] + [(p, rng.uniform(1.0, 1.04)) for p in upper]
    balls = []
    for (px, py), grow in layers:
        jx, jy = rng.uniform(-0.25, 0.25, 2)
        balls.append((cx + px * c - py * s + jx, cy + px * s + py * c + jy, r * grow * rng.uniform(0.98, 1.02)))
    lights = scenes.target_lights(rng, len(balls))
    shadows = rng.random() < 0.6
    dim = rng.uniform(0.75, 0.9) if upper else 1.0  # the lower layer lies in the upper one's shade
    ids = []
    for k, (x, y, rr) in enumerate(balls):
        touching = any(math.hypot(x - x2, y - y2) <= rr + r2 + TOUCH for j, (x2, y2, r2) in enumerate(balls) if j != k)
        ids.append(plan.target(x, y, rr, touching))
    n_low = len(lower)
    if shadows:
        for i in ids[:n_low]:
            plan.shadow(i, lights[i - 1])
    for i in ids[:n_low]:
        plan.ball(i, rgb, lights[i - 1], dim)
    for i in ids[n_low:]:  # the upper balls shade the lower ones
        plan.shadow(i, lights[i - 1])
    for i in ids[n_low:]:
        plan.ball(i, rgb, lights[i - 1])


def held_hand(rng, x, y, r) -> tuple[list[Piece], list[Piece]]:
    """A hand holding the ball from one side (mostly from below): the palm and
    the arm behind it (skin beside the ball), fingers and a thumb from the palm
    over its rim: (pieces behind the ball, pieces in front)."""
    ang = math.pi / 2 + rng.uniform(-1.0, 1.0) if rng.random() < 0.7 else rng.uniform(0, 2 * math.pi)
    width = max(16.0, r * rng.uniform(1.5, 2.0))
    col = skin(rng)
    arm_len = width * rng.uniform(1.5, 4.0)

    def palm(u, v):
        return np.minimum(box_sdf(u, v, 0.5 * r + 0.4 * width, 0.0, 0.5 * r + 0.5 * width, 0.5 * width, 0.2 * width),
                          capsule_sdf(u, v, (r + 0.5 * width, 0.0), (r + 0.5 * width + arm_len, 0.0), 0.42 * width))
    behind = Piece("hand", x, y, ang, r + width + arm_len + 2, palm, rounded(col, width, width / 3, 0.7))
    side = rng.choice([-1.0, 1.0])
    rad = width / 10 * rng.uniform(0.8, 1.1)

    def finger(base, tip, depth, rr):
        """From the palm (an angle from `ang` at 1.1 r) to a tip over the rim."""
        b, t = ang + side * base, ang + side * tip
        return ((math.cos(b) * 1.1 * r, math.sin(b) * 1.1 * r),
                (math.cos(t) * (r - depth), math.sin(t) * (r - depth)), rr)
    caps = [finger(0.3 + 0.2 * k, 0.85 + 0.35 * k + rng.uniform(-0.08, 0.08), r * rng.uniform(0.1, 0.35), rad)
            for k in range(int(rng.integers(2, 5)))]
    caps.append(finger(-0.4, -rng.uniform(1.0, 1.3), r * rng.uniform(0.1, 0.3), 1.25 * rad))  # the thumb

    def fingers(u, v):  # offsets from the ball's centre in the frame's axes: the piece is not turned
        d = np.full(u.shape, np.inf, np.float32)
        for a, b, rr in caps:
            d = np.minimum(d, capsule_sdf(u, v, a, b, rr))
        return d
    front = Piece("hand", x, y, 0.0, 1.1 * r + 2 * rad + 2, fingers,
                  rounded(col * np.float32(rng.uniform(0.95, 1.05)), width, rad, 0.6))
    return [behind], [front]


def held_object(rng, rgb, x, y, r) -> Piece:
    """An object of the ball's hue that the ball touches or lies on: a box, a strip
    of tape, a cloth."""
    kind = rng.choice(["box", "strip", "cloth"])
    col = scenes._vary(rgb, rng, 5, 0.25, 0.3)
    ang = rng.uniform(0, 2 * math.pi)
    gap = rng.uniform(-0.25 * r, 0.5)  # below zero the ball stands in front of it
    if kind == "box":
        depth, half = r * rng.uniform(1.2, 3.5), r * rng.uniform(0.7, 1.6)
        across = rng.uniform(-0.5, 0.5) * half
        edge = rng.uniform(0.3, 0.7)  # where one face of the box meets the other
        near = r + gap

        def sdf(u, v):
            return box_sdf(u, v, near + depth / 2, across, depth / 2, half)

        def surface(g, d, u, v, dx, dy):
            face = np.where(u < near + edge * depth, 1.0, g.uniform(0.6, 0.8)).astype(np.float32)
            return scenes.flat_colour(col, dx, dy, g, depth) * face[:, :, None]
        return Piece("box", x, y, ang, math.hypot(near + depth, abs(across) + half) + 2, sdf, surface, True)
    if kind == "strip":
        width = rng.uniform(6, 30)
        half_len = r * rng.uniform(1.5, 4)
        bend = rng.uniform(-0.5, 0.5) / half_len
        off = r + gap + width / 2

        def sdf(u, v):
            return np.maximum(np.abs(u - off - bend * v * v) - width / 2, np.abs(v) - half_len)
        return Piece("strip", x, y, ang, math.hypot(off + width + abs(bend) * half_len ** 2, half_len) + 2,
                     sdf, flat(col, half_len), True)
    size = r * rng.uniform(1.6, 3.0)
    dist = size * rng.uniform(0.2, 0.9)
    ks = rng.choice(np.arange(2, 6), size=2, replace=False)
    amps = rng.uniform(0.08, 0.18, 2)
    phases = rng.uniform(0, 2 * math.pi, 2)
    fold = r * rng.uniform(0.3, 0.8)

    def sdf(u, v):
        phi = np.arctan2(v, u - dist)
        rad = size * (1 + sum(a * np.cos(k * phi + p) for k, a, p in zip(ks, amps, phases)))
        return np.hypot(u - dist, v) - rad

    def surface(g, d, u, v, dx, dy):  # folds: bands of light and shade
        shade = 0.8 + 0.2 * np.sin(2 * math.pi * (u * 0.8 + v * 0.6) / fold + g.uniform(0, 2 * math.pi))
        return scenes.flat_colour(col, dx, dy, g, size) * shade[:, :, None]
    return Piece("cloth", x, y, ang, dist + size * 1.4 + 2, sdf, surface, True)


def plan_held(plan, rng, rgb, h, w, scale):
    balls = _balls(rng, int(rng.integers(1, 4)), lambda: scenes._log_uniform(rng, 14 * scale, 55 * scale), 2.8, h, w)
    lights = scenes.target_lights(rng, len(balls))
    behind, front = [], []
    for x, y, r in balls:
        back, over = held_hand(rng, x, y, r) if rng.random() < 0.5 else ([held_object(rng, rgb, x, y, r)], [])
        behind += back
        front += over
        plan.reach.append((x, y, 3.0 * r))
    # Whatever a ball touches or lies on stays behind every ball, the fingers over them.
    for p in behind:
        plan.piece(p)
    for (x, y, r), light in zip(balls, lights):
        i = plan.target(x, y, r)
        plan.shadow(i, light)
        plan.ball(i, rgb, light)
    for p in front:
        plan.piece(p)


def floor_colour(rgb, rng) -> np.ndarray:
    """A floor: wood (not beside a target of about its hue), grey, or a muted other hue."""
    if rng.random() < 0.3 and hue_gap(rgb, 32) >= 45:
        return scenes.hsv_rgb(rng.uniform(25, 40), rng.uniform(0.3, 0.55), rng.uniform(0.3, 0.6))
    col = scenes._other_colour(rgb, rng)
    grey = col.mean()
    return np.clip((grey + 0.5 * (col - grey)) * np.float32(rng.uniform(0.5, 1.0)), 0.1, 0.75).astype(np.float32)


def draw_floor(cv, rng, horizon, tilt, albedo) -> None:
    """A glossy floor below the horizon: a flat colour, darker far away, with a
    faint blurred mirror image of what stands above it."""
    h, w = cv.h, cv.w
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
    line = horizon + tilt * (xx - w / 2)
    alpha = coverage(line - yy)
    depth = np.clip((yy - line) / max(h - horizon, 1.0), 0, 1)
    coarse = rng.normal(0, 1, (6, 8, 1)).astype(np.float32)
    col = albedo[None, None, :] * (0.75 + 0.35 * depth)[:, :, None] * (1 + 0.04 * scenes.resize(coarse, h, w))
    src = np.clip(np.round(2 * line - yy), 0, h - 1).astype(np.intp)
    mirror = scenes.gaussian_blur(cv.img[src, xx.astype(np.intp)], rng.uniform(2.0, 5.0))
    gloss = rng.uniform(0.08, 0.25) * (1 - depth)[:, :, None]
    a = alpha[:, :, None]
    cv.img[:] = cv.img * (1 - a) + (col * (1 - gloss) + mirror * gloss) * a  # a backdrop: touching it is not touching


def draw_reflection(cv, rng, x, contact, r, albedo, light) -> None:
    """A ball's mirror image in the floor: upside down, squashed a little, fainter
    away from the contact, blurred."""
    k = rng.uniform(0.75, 1.0)
    strength, fade, sigma = rng.uniform(0.35, 0.85), rng.uniform(0.8, 2.5), rng.uniform(0.7, 3.0)
    cy = contact + k * r
    g = cv.grid(x, cy, r + 3 * sigma + 3)
    if g is None:
        return
    sl, dx, dy = g
    d, u, v = scenes.ellipse_distance(dx, dy, r, k * r, 0.0)
    shade, hl = scenes.sphere_shade(u, -v, light, rng.uniform(0.3, 0.6), rng.uniform(0, 0.2), rng.uniform(15, 60))
    col = scenes.shaded_colour(albedo, shade, hl, 1.0)
    alpha = coverage(d) * strength * np.exp(-np.clip(dy + k * r, 0, None) / (fade * r))
    layer = scenes.gaussian_blur(np.concatenate([col * alpha[:, :, None], alpha[:, :, None]], axis=2), sigma)
    a = np.clip(layer[:, :, 3], 0, 1)
    cv.paint(sl, a, layer[:, :, :3] / np.maximum(a, 1e-6)[:, :, None])


def draw_contact(cv, rng, x, contact, r) -> None:
    """The dark line where a ball touches the floor."""
    g = cv.grid(x, contact, r)
    if g is None:
        return
    sl, dx, dy = g
    d, _, _ = scenes.ellipse_distance(dx, dy, 0.5 * r, 0.05 * r + 0.7, 0.0)
    cv.darken(sl, rng.uniform(0.1, 0.4) * np.clip(0.5 - d / max(1.0, 0.05 * r), 0, 1))


def plan_reflection(plan, rng, rgb, h, w, scale):
    horizon, tilt = rng.uniform(0.08, 0.45) * h, rng.uniform(-0.05, 0.05)
    albedo = floor_colour(rgb, rng)
    plan.under.append((0, lambda cv, g: draw_floor(cv, g, horizon, tilt, albedo)))
    placed, balls = [], []
    for j in range(int(rng.integers(1, 5)) + int(rng.integers(0, 3))):
        r = scenes._log_uniform(rng, 12 * scale, 60 * scale)
        for _ in range(100):
            x = rng.uniform(r + 3, w - 4 - r)
            lo = max(horizon + tilt * (x - w / 2) + 0.3 * r, 2 * r + 3)
            contact = rng.uniform(lo, h - 4) if lo < h - 4 else None
            if contact is not None and scenes._free(placed, x, contact, 2.2 * r, 4):
                placed.append((x, contact, 2.2 * r))
                balls.append((x, contact, r))
                break
    n_targets = max(1, len(balls) - int(rng.integers(0, 3)))
    lights = scenes.target_lights(rng, len(balls))
    for j, ((x, contact, r), light) in enumerate(zip(balls, lights)):
        plan.reach.append((x, contact, 2.2 * r))
        if j >= n_targets:  # a ball of another colour, on the same floor
            col = scenes._other_colour(rgb, rng)
            plan.notes.append((0, Distractor("other-ball", round(x, 3), round(contact - r, 3), round(r, 3), False)))
            plan.steps.append((0, lambda cv, g, x=x, c=contact, r=r, col=col, lt=light: (
                draw_reflection(cv, g, x, c, r, col, lt), draw_contact(cv, g, x, c, r),
                scenes.draw_ball(cv, g, x, c - r, r, r, 0.0, col, 0, lt))))
            continue
        i = plan.target(x, contact - r, r)
        plan.steps.append((i, lambda cv, g, x=x, c=contact, r=r, lt=light: (
            draw_reflection(cv, g, x, c, r, scenes._vary(rgb, g, 2, 0.06, 0.08), lt), draw_contact(cv, g, x, c, r))))
        plan.ball(i, rgb, light)
        plan.notes.append((i, Distractor("reflection", round(x, 3), round(contact + r, 3), round(1.2 * r, 3), True)))


def plan_small(plan, rng, rgb, h, w, scale):
    balls = _balls(rng, int(rng.integers(3, 9)), lambda: rng.uniform(6, 10) * scale, 1.1, h, w)
    _loose(plan, rng, rgb, balls)
    for x, y, r in balls:
        hide = rng.random() < 0.2
        if hide:
            share, col = rng.uniform(0.1, 0.3), scenes._other_colour(rgb, rng)
            plan.steps.append((0, lambda cv, g, x=x, y=y, r=r, share=share, col=col:
                               scenes.draw_occluder(cv, g, x, y, r, share, col)))
        plan.reach.append((x, y, r * (2.3 if hide else 1.1) + 2))


PLANS = {"hidden": plan_hidden, "piles": plan_piles, "held": plan_held, "reflection": plan_reflection,
         "small": plan_small}


# ---------------------------------------------------------------- frames


def make_case(seed: int, case: str, size: tuple[int, int] = (480, 640),
              colour: str | tuple[float, float, float] | None = None, *, empty: bool = False, photos: bool = True,
              jpeg: bool = True, effects: bool = True) -> tuple[np.ndarray, Truth]:
    """One frame of a case and its truth; `colour` as for scenes.make_scene.
    empty=True: the same frame without its target balls."""
    if case not in CASES:
        raise ValueError(f"case must be one of {CASES}")
    h, w = size
    index = CASES.index(case)
    rng = np.random.default_rng([seed, 100 + index])
    cv, truth, rgb, scale = scenes.start_scene(rng, seed, case, size, colour, photos)
    plan = Plan()
    PLANS[case](plan, rng, rgb, h, w, scale)
    many = case == "small"  # the general scenes' clutter; the other cases bring their own
    n_dis, n_other = int(rng.integers(0, 6 if many else 4)), int(rng.integers(0, 4 if many else 3))
    clutter = scenes.place_clutter(rng, rgb, n_dis, n_other, plan.reach, h, w, scale)
    streams: dict[int, np.random.Generator] = {}
    for owner, draw in plan.under:
        draw(cv, rng)
    scenes.draw_clutter(cv, rng, rgb, clutter, truth)
    for owner, draw in plan.steps:
        if owner == 0:
            draw(cv, rng)
        elif not empty:
            draw(cv, streams.setdefault(owner, np.random.default_rng([seed, 100 + index, owner])))
    truth.distractors += [d for owner, d in plan.notes if owner == 0 or not empty]
    for i, (x, y, r, touching) in enumerate(plan.targets):
        disc = scenes.target_truth(cv, i + 1, x, y, r, r, 0.0, True, touching)
        if disc is None:
            continue
        if disc.occluded > 0.5 or disc.border:
            truth.dont_care.append(DontCare(disc.x, disc.y, disc.r, (round(x - r, 3), round(y - r, 3),
                                                                     round(x + r, 3), round(y + r, 3))))
        else:
            truth.discs.append(disc)
    if effects:
        frame, truth.camera = scenes.camera(cv.img, rng, mild=False, use_jpeg=jpeg)
    else:
        frame = (np.clip(cv.img, 0, 1) * 255 + 0.5).astype(np.uint8)
    return frame, truth


def case_set(case: str, colour: str, n: int, n_empty: int, seed: int, size: tuple[int, int] = (480, 640),
             **kw) -> tuple[tuple[np.ndarray, Truth], list[tuple[np.ndarray, Truth]]]:
    """n frames of a case and n_empty without target balls, of one target colour,
    and a frame of clean balls of that colour to calibrate on:
    ((frame, truth) to calibrate on, [(frame, truth), ...])."""
    rng = np.random.default_rng([seed, list(COLOURS).index(colour), 100 + CASES.index(case)])
    rgb = scenes.set_colour(colour, rng)
    base = int(rng.integers(2**31))
    calibration = scenes.make_scene(base, "clean", size, rgb, calibration=True, **kw)
    items = [make_case(base + 1 + i, case, size, rgb, **kw) for i in range(n)]
    items += [make_case(base + 1 + n + i, case, size, rgb, empty=True, **kw) for i in range(n_empty)]
    return calibration, items
