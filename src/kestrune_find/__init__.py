"""Finding one-colour shapes (balls, tape stripes, lines, ellipses) in camera
frames, over the kestrune module.

    import kestrune_find as kf
    finder = kf.Finder()
    for disc in finder.find(frame, "disc", "red"):
        print(disc.x, disc.y, disc.r, disc.score)
"""
from .calibrate import Calibration, SampleReport, calibrate, propose
from .colours import COLOURS, Colour, Sector, bgr_bounds, colour, load_colour, save_colour
from .finder import MIN_SCORE, SHAPES, Finder, find
from .options import FindOptions, SearchOptions
from .shapes import Band, Disc, Ellipse, Line, Shape, Stripe

__all__ = [
    "Calibration", "SampleReport", "calibrate", "propose",
    "COLOURS", "Colour", "Sector", "bgr_bounds", "colour", "load_colour", "save_colour",
    "MIN_SCORE", "SHAPES", "Finder", "find", "FindOptions", "SearchOptions",
    "Band", "Disc", "Ellipse", "Line", "Shape", "Stripe",
]
