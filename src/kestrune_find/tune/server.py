"""The tuning page's server: aiohttp routes over a `Session`, and the guards
that keep a page elsewhere from driving it.

Every answer under /api is JSON (pictures and the camera stream aside); a
request that cannot be met gets {"error": "..."} with a 4xx status, an
internal failure a 500 with a one-line message, and the server keeps serving.
"""
from __future__ import annotations

import asyncio
import ipaddress
import json
import os
import secrets
import socket
import sys
import webbrowser
from collections.abc import Awaitable, Callable, Sequence
from pathlib import Path, PurePosixPath, PureWindowsPath
from typing import Any, TextIO

from ..io import MAX_PIXELS, ImageError, require
from ..options import MIN_R, MIN_SCORE
from .session import Camera, LiveFrame, Session, TuneError, encode, open_sources, parse_options

#: Request bodies larger than this are refused (the API's bodies are a few numbers).
MAX_BODY = 64 * 1024
#: Token header the page sets on its requests.
TOKEN_HEADER = "X-Kestrune-Token"
STATIC = Path(__file__).parent / "static"
STATIC_FILES = {"tune.js": "text/javascript", "tune.css": "text/css"}
DEFAULT_PORT = 8731
LOOPBACK_NAMES = ("localhost", "127.0.0.1", "::1")

Handler = Callable[[Any], Awaitable[Any]]


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def host_name(header: str) -> str:
    """The name in a Host header, without the port ("[::1]:80" -> "::1")."""
    if header.startswith("["):
        return header[1:].split("]", 1)[0]
    return header.rsplit(":", 1)[0] if header.count(":") == 1 else header


def is_ip(name: str) -> bool:
    try:
        ipaddress.ip_address(name)
    except ValueError:
        return False
    return True


def has_display() -> bool:
    if sys.platform.startswith("linux"):
        return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))
    return True


def save_target(save: Path | None, start: Path, asked: Any) -> Path:
    """Where POST /api/save writes: --save, or a plain file name asked for
    inside the folder the server started in; TuneError otherwise."""
    if save is not None:
        if asked is not None:
            raise TuneError(f"the colour file is set by --save ({save}): no path may be given", 403)
        return save
    if asked is None:
        raise TuneError('say where to save: {"path": "NAME.json"} (or start kestrune tune with --save FILE)')
    if not isinstance(asked, str):
        raise TuneError(f"path must be a file name, got {asked!r}")
    plain = PurePosixPath(asked).name == asked and PureWindowsPath(asked).name == asked
    if not plain or asked in ("", ".", "..") or asked.startswith("."):
        raise TuneError(f"path must be a plain file name in the folder kestrune tune started in, got {asked!r}", 403)
    if not asked.endswith(".json"):
        raise TuneError(f"path must name a .json file, got {asked!r}")
    return start / asked


class Tuner:
    """The app: its session, where it saves, and its guards."""

    def __init__(self, session: Session, save: Path | None, host: str, start: Path) -> None:
        self.session = session
        self.save = save
        self.start = start
        self.host = host
        self.token = None if is_loopback(host) else secrets.token_urlsafe(24)
        self.port = 0
        names = {"localhost", socket.gethostname().lower(), socket.getfqdn().lower(), host.lower()}
        self.host_names = names

    # Guards

    def refused(self, request: Any) -> TuneError | None:
        """Why a request is refused, or None."""
        header = request.headers.get("Host", "")
        name = host_name(header).lower()
        if not (is_ip(name) or name in self.host_names):
            return TuneError(f"refused: Host {header!r} is not this server", 403)
        origin = request.headers.get("Origin")
        if origin is not None and origin != f"http://{header}":
            return TuneError(f"refused: requests from {origin} are not allowed", 403)
        if request.headers.get("Sec-Fetch-Site") == "cross-site":
            return TuneError("refused: cross-site request", 403)
        if self.token is not None:
            given = (request.headers.get(TOKEN_HEADER) or request.query.get("token")
                     or request.cookies.get(self.cookie))
            if not given:
                return TuneError("this server needs its token: open the address it printed (?token=...)", 401)
            if not secrets.compare_digest(given.encode(), self.token.encode()):
                return TuneError("wrong token: open the address the server printed", 403)
        if request.method in ("POST", "PUT", "DELETE") and request.can_read_body \
                and request.content_type != "application/json":
            return TuneError("request bodies must be JSON (Content-Type: application/json)", 415)
        return None

    @property
    def cookie(self) -> str:
        return f"kestrune_token_{self.port}"

    def app(self) -> Any:
        web = require("aiohttp.web", "kestrune tune")

        def error(status: int, message: str) -> Any:
            return web.json_response({"error": message}, status=status)

        async def errors(request: Any, handler: Handler) -> Any:
            try:
                return await handler(request)
            except TuneError as e:
                return error(e.status, str(e))
            except web.HTTPException as e:
                if e.status < 400:
                    raise
                if e.status == 413:
                    return error(413, f"the request body is too large (at most {MAX_BODY} bytes)")
                return error(e.status, e.reason if e.status != 404 else f"no such page: {request.path}")
            except ImageError as e:  # a source file changed or went away since the start
                return error(500, str(e))
            except asyncio.CancelledError:
                raise
            except Exception as e:  # a bug: the page gets one line, the server goes on
                print(f"kestrune tune: error on {request.method} {request.path}: {type(e).__name__}: {e}",
                      file=sys.stderr, flush=True)
                return error(500, f"internal error: {type(e).__name__}: {e}")

        async def guard(request: Any, handler: Handler) -> Any:
            problem = self.refused(request)
            if problem is not None:
                raise problem
            response = await handler(request)
            if self.token is not None and request.query.get("token") == self.token:
                # <img> and <script> requests cannot set the header: the cookie carries the token.
                response.set_cookie(self.cookie, self.token, httponly=True, samesite="Strict")
            response.headers.setdefault("Cache-Control", "no-store")
            return response

        app = web.Application(middlewares=[web.middleware(errors), web.middleware(guard)], client_max_size=MAX_BODY)
        session = self.session

        async def body(request: Any) -> dict[str, Any]:
            try:
                data = await request.json()
            except (json.JSONDecodeError, UnicodeDecodeError):
                raise TuneError("the request body is not valid JSON") from None
            if not isinstance(data, dict):
                raise TuneError("the request body must be a JSON object")
            return data

        def index_of(request: Any, key: str = "index") -> int:
            text = request.match_info[key]
            try:
                return int(text)
            except ValueError:
                raise TuneError(f"{key} must be a whole number, got {text!r}") from None

        def query_frame(request: Any) -> int:
            text = request.query.get("frame")
            if text is None:
                raise TuneError("say which frame: ?frame=INDEX")
            try:
                return int(text)
            except ValueError:
                raise TuneError(f"frame must be a whole number, got {text!r}") from None

        async def page(request: Any) -> Any:
            return web.Response(body=(STATIC / "index.html").read_bytes(), content_type="text/html")

        async def static(request: Any) -> Any:
            name = request.match_info["name"]
            if name not in STATIC_FILES:
                raise TuneError(f"no such file: {name}", 404)
            return web.Response(body=(STATIC / name).read_bytes(), content_type=STATIC_FILES[name])

        async def frames(request: Any) -> Any:
            return web.json_response({"frames": session.frame_list()})

        async def frame_image(request: Any) -> Any:
            index = index_of(request)
            jpeg = await asyncio.to_thread(lambda: encode(session.image(index), "JPEG"))
            return web.Response(body=jpeg, content_type="image/jpeg")

        async def frame_mask(request: Any) -> Any:
            index = index_of(request)
            png = await asyncio.to_thread(session.mask_png, index)
            return web.Response(body=png, content_type="image/png")

        async def frame_stream(request: Any) -> Any:
            source = session.source(index_of(request))
            if not isinstance(source, LiveFrame):
                raise TuneError(f"frame {request.match_info['index']} is not a live camera")
            camera: Camera = source.camera
            response = web.StreamResponse(headers={"Content-Type": "multipart/x-mixed-replace; boundary=frame"})
            await response.prepare(request)
            seen = -1
            while not camera.stopping.is_set():
                seen = await asyncio.to_thread(camera.wait, seen, 1.0)
                jpeg = await asyncio.to_thread(encode, source.image(), "JPEG")
                await response.write(b"--frame\r\nContent-Type: image/jpeg\r\nContent-Length: %d\r\n\r\n"
                                     % len(jpeg) + jpeg + b"\r\n")
            return response

        async def snapshot(request: Any) -> Any:
            index = await asyncio.to_thread(session.snapshot, index_of(request))
            return web.json_response({"frame": index, "frames": session.frame_list()})

        async def colour_state(request: Any) -> Any:
            return web.json_response(await asyncio.to_thread(session.state))

        async def add_sample(request: Any) -> Any:
            data = await body(request)
            unknown = sorted(set(data) - {"frame", "rect", "disc"})
            if unknown:
                raise TuneError(f"unknown field {unknown[0]!r}: a sample has frame and rect or disc")
            if "frame" not in data:
                raise TuneError('say which frame: {"frame": INDEX, "rect": [x0, y0, x1, y1]}')
            await asyncio.to_thread(session.add_sample, data["frame"], data.get("rect"), data.get("disc"))
            return web.json_response(await asyncio.to_thread(session.state))

        async def remove_sample(request: Any) -> Any:
            await asyncio.to_thread(session.remove_sample, index_of(request, "k"))
            return web.json_response(await asyncio.to_thread(session.state))

        async def thumbnail(request: Any) -> Any:
            png = await asyncio.to_thread(session.sample_png, index_of(request, "k"))
            return web.Response(body=png, content_type="image/png")

        async def finds(request: Any) -> Any:
            shape, options = parse_options(dict(request.query))
            index = query_frame(request)
            found = await asyncio.to_thread(session.finds, index, shape, options)
            return web.json_response({"shapes": found})

        async def settings(request: Any) -> Any:
            data = await body(request)
            if "widening" in data:
                await asyncio.to_thread(session.set_widening, data.pop("widening"))
            if data:
                shape, options = parse_options({k: "" if v is None else str(v) for k, v in data.items()})
                session.set_find_settings(shape, options)
            return web.json_response(await asyncio.to_thread(session.state))

        async def save(request: Any) -> Any:
            data = await body(request) if request.can_read_body else {}
            unknown = sorted(set(data) - {"path"})
            if unknown:
                raise TuneError(f"unknown field {unknown[0]!r}: save takes only path")
            path = save_target(self.save, self.start, data.get("path"))
            await asyncio.to_thread(session.save, path, str(self.save) if self.save else path.name)
            return web.json_response({"saved": str(path)})

        async def info(request: Any) -> Any:
            return web.json_response({"save": None if self.save is None else str(self.save),
                                      "start": str(self.start), "min_score": dict(MIN_SCORE), "min_r": MIN_R})

        app.router.add_get("/", page)
        app.router.add_get("/static/{name}", static)
        app.router.add_get("/api/info", info)
        app.router.add_get("/api/frames", frames)
        app.router.add_get("/api/frames/{index}/image", frame_image)
        app.router.add_get("/api/frames/{index}/mask", frame_mask)
        app.router.add_get("/api/frames/{index}/stream", frame_stream)
        app.router.add_post("/api/frames/{index}/snapshot", snapshot)
        app.router.add_get("/api/colour", colour_state)
        app.router.add_post("/api/samples", add_sample)
        app.router.add_delete("/api/samples/{k}", remove_sample)
        app.router.add_get("/api/samples/{k}/thumbnail", thumbnail)
        app.router.add_get("/api/finds", finds)
        app.router.add_post("/api/settings", settings)
        app.router.add_post("/api/save", save)
        return app


def address(host: str, port: int, token: str | None) -> str:
    shown = socket.gethostname() if host in ("0.0.0.0", "::", "") else host
    shown = f"[{shown}]" if ":" in shown else shown
    return f"http://{shown}:{port}/" + (f"?token={token}" if token else "")


async def _serve(tuner: Tuner, host: str, port: int, open_browser: bool, out: TextIO) -> None:
    web = require("aiohttp.web", "kestrune tune")
    # Streams end when cancelled; waiting for open connections would hold Ctrl-C.
    runner = web.AppRunner(tuner.app(), handle_signals=False, access_log=None, shutdown_timeout=0.5)
    await runner.setup()
    try:
        site = web.TCPSite(runner, host, port, reuse_address=True)
        try:
            await site.start()
        except OSError as e:
            raise TuneError(f"cannot listen on {host}:{port}: {e.strerror or e}"
                            + ("; --port 0 picks a free port" if port else ""), 1) from None
        tuner.port = int(runner.addresses[0][1])
        url = address(host, tuner.port, tuner.token)
        print(f"kestrune tune: serving {url}  (Ctrl-C stops)", file=out, flush=True)
        if tuner.token is not None and host in ("0.0.0.0", "::", ""):
            print(f"kestrune tune: on this machine: {address('127.0.0.1', tuner.port, tuner.token)}",
                  file=out, flush=True)
        if open_browser and has_display():
            await asyncio.get_running_loop().run_in_executor(None, webbrowser.open, url)
        await asyncio.Event().wait()
    finally:
        await runner.cleanup()


def serve(sources: Sequence[str], save: Path | None = None, host: str = "127.0.0.1", port: int = DEFAULT_PORT,
          open_browser: bool = True, max_pixels: int = MAX_PIXELS, out: TextIO | None = None) -> int:
    """Serves the tuning page until Ctrl-C (KeyboardInterrupt reaches the caller)."""
    require("aiohttp", "kestrune tune")
    require("PIL.Image", "kestrune tune")
    if save is not None:
        if save.is_dir():
            raise TuneError(f"--save: {save} is a folder; give a file name such as {save / 'ball.json'}")
        if not save.parent.is_dir():
            raise TuneError(f"--save: the folder {save.parent} does not exist")
    found, opened = open_sources(sources, max_pixels)
    session = Session(found, name=str(save) if save is not None else "calibrated", closers=opened)
    tuner = Tuner(session, save, host, Path.cwd())
    try:
        asyncio.run(_serve(tuner, host, port, open_browser, out or sys.stdout))
    finally:
        session.close()
    return 0
