"""`kestrune tune`: a page in the browser to set a colour by looking at frames.

The state lives in `session` (no web framework: testable on its own); the
aiohttp app and its guards in `server`; the page's files in static/.
"""
from __future__ import annotations

from .server import DEFAULT_PORT, serve
from .session import Session, TuneError, open_sources

__all__ = ["DEFAULT_PORT", "Session", "TuneError", "open_sources", "serve"]
