"""`kestrune tune`: its JSON API and its guards, against real servers started
as `python -m kestrune_find tune ... --port 0`, driven with http.client."""
import http.client
import json
import os
import re
import shlex
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("aiohttp")
pytest.importorskip("PIL")

from kestrune_find.colours import load_colour  # noqa: E402
from kestrune_find.io import save_image  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
BALLS = [(100, 90), (210, 150)]
BALL_R = 30


def ball_frame(cx, cy, seed):
    """A noisy grey frame with a red ball lit from the left."""
    rng = np.random.default_rng(seed)
    frame = rng.integers(60, 120, (240, 320, 3)).astype(np.uint8)
    ys, xs = np.mgrid[:240, :320]
    inside = (xs - cx) ** 2 + (ys - cy) ** 2 <= BALL_R ** 2
    shade = np.clip(1.0 - 0.5 * (xs - cx + BALL_R) / (2 * BALL_R), 0.45, 1.0)[inside]
    frame[inside] = np.stack([230 * shade, 40 * shade, 30 * shade], -1).astype(np.uint8)
    return frame


def write_frames(folder):
    folder.mkdir(parents=True, exist_ok=True)
    for k, (cx, cy) in enumerate(BALLS):
        save_image(ball_frame(cx, cy, k), folder / f"f{k}.png")
    return folder


class Server:
    """A `kestrune tune` subprocess and requests to it."""

    def __init__(self, cwd, *args):
        self.cwd = cwd
        self.process = subprocess.Popen([sys.executable, "-m", "kestrune_find", "tune", *map(str, args),
                                         "--no-browser"], cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True)
        self.line = self.process.stdout.readline()
        found = re.search(r"http://\S+?:(\d+)/(\?token=(\S+))?", self.line)
        if not found:
            self.process.kill()
            raise AssertionError(f"no address printed: {self.line!r} {self.process.stderr.read()!r}")
        self.port = int(found.group(1))
        self.token = found.group(3)

    def request(self, method, path, body=None, headers=None, raw=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        headers = dict(headers or {})
        if body is not None:
            raw = json.dumps(body)
            headers.setdefault("Content-Type", "application/json")
        connection.request(method, path, raw, headers)
        response = connection.getresponse()
        data = response.read()
        connection.close()
        if response.getheader("Content-Type", "").startswith("application/json"):
            data = json.loads(data)
        return response.status, data, response

    def ok(self, method, path, body=None, headers=None):
        status, data, _ = self.request(method, path, body, headers)
        assert status == 200, data
        return data

    def interrupt(self):
        self.process.send_signal(signal.SIGINT)
        try:
            _, err = self.process.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise
        return self.process.returncode, err

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.communicate()


@pytest.fixture(scope="module")
def photos(tmp_path_factory):
    return write_frames(tmp_path_factory.mktemp("tune") / "photos")


@pytest.fixture(scope="module")
def shared(photos):
    started = Server(photos.parent, "photos", "--port", "0")
    yield started
    started.stop()


@pytest.fixture
def server(shared):
    """The module's server, with no samples."""
    while shared.ok("GET", "/api/colour")["samples"]:
        shared.ok("DELETE", "/api/samples/0")
    yield shared
    assert shared.process.poll() is None


SAMPLE = {"frame": 0, "rect": [90, 80, 112, 104]}


def test_frames_samples_and_colour(server):
    frames = server.ok("GET", "/api/frames")["frames"]
    assert [(f["index"], Path(f["name"]).name, f["width"], f["height"]) for f in frames] == [
        (0, "f0.png", 320, 240), (1, "f1.png", 320, 240)]
    assert server.ok("GET", "/api/colour")["colour"] is None
    status, data, _ = server.request("GET", "/api/finds?frame=0")
    assert status == 409 and "sample" in data["error"]

    state = server.ok("POST", "/api/samples", SAMPLE)
    assert state["colour"]["hue_limit"][0] < 0 < state["colour"]["hue_limit"][1]  # red straddles hue 0
    assert state["coverage"]["samples"] > 0.95 and state["coverage"]["frames"][0]["rest"] < 0.08  # the ball outside
    cx, cy = BALLS[1]
    state = server.ok("POST", "/api/samples", {"frame": 1, "disc": [cx + 15, cy, 8]})
    assert [s["frame"] for s in state["samples"]] == [0, 1]
    assert state["samples"][1]["pixels"] == pytest.approx(np.pi * 64, rel=0.1)
    assert {f["frame"] for f in state["coverage"]["frames"]} == {0, 1}
    shell = state["commands"]["shell"]
    assert shell[0].startswith("kestrune calibrate --sample photos/f0.png 90 80 112 104 --sample photos/f1.png")

    state = server.ok("DELETE", "/api/samples/0")
    assert [s.get("disc") for s in state["samples"]] == [[cx + 15, cy, 8]]
    status, data, _ = server.request("DELETE", "/api/samples/5")
    assert status == 404 and "sample 5" in data["error"]
    state = server.ok("DELETE", "/api/samples/0")
    assert state["colour"] is None and state["samples"] == []


@pytest.mark.parametrize("options", ["", "&min_score=0.9&min_r=20&max_r=40"])
def test_finds_equal_the_command_on_the_saved_colour(server, options):
    server.ok("POST", "/api/samples", SAMPLE)
    server.ok("POST", "/api/samples", {"frame": 1, "rect": [200, 140, 222, 162]})
    saved = Path(server.ok("POST", "/api/save", {"path": "ball.json"})["saved"])
    assert saved == server.cwd / "ball.json"
    flags = [a for pair in re.findall(r"&(\w+)=([\d.]+)", options) for a in ("--" + pair[0].replace("_", "-"),
                                                                                 pair[1])]
    for frame in (0, 1):
        page = server.ok("GET", f"/api/finds?frame={frame}&shape=disc{options}")["shapes"]
        done = subprocess.run([sys.executable, "-m", "kestrune_find", "find", f"photos/f{frame}.png", "--circle",
                               "ball.json", "--json", *flags], cwd=server.cwd, capture_output=True, text=True,
                              timeout=60)
        assert done.returncode == 0, done.stderr
        command = json.loads(done.stdout)["shapes"]
        assert len(page) == 1 and page[0]["x"] == pytest.approx(BALLS[frame][0], abs=1.5)
        assert [{**s, "colour": ""} for s in page] == [{**s, "colour": ""} for s in command]
    record = json.loads(saved.read_text())["source"]["samples"]
    assert record[1] == {"image": "photos/f1.png", "rect": [200, 140, 222, 162]}
    assert load_colour(saved).hue_limit == tuple(server.ok("GET", "/api/colour")["colour"]["hue_limit"])
    saved.unlink()


@pytest.mark.parametrize("path", ["/tmp/ball.json", "../ball.json", "sub/ball.json", "sub\\ball.json",
                                  ".ball.json", "..", "ball.txt", 7])
def test_save_refuses_paths_outside_the_start_folder(server, path):
    server.ok("POST", "/api/samples", SAMPLE)
    before = sorted(p.name for p in server.cwd.parent.rglob("*"))
    status, data, _ = server.request("POST", "/api/save", {"path": path})
    assert status in (400, 403) and "path" in data["error"]
    assert sorted(p.name for p in server.cwd.parent.rglob("*")) == before


def test_save_goes_to_the_save_option_only(photos):
    target = photos.parent / "chosen.json"
    started = Server(photos.parent, "photos/f0.png", "--save", target, "--port", "0")
    try:
        status, data, _ = started.request("POST", "/api/save")
        assert status == 409  # nothing to save yet
        started.ok("POST", "/api/samples", SAMPLE)
        status, data, _ = started.request("POST", "/api/save", {"path": "other.json"})
        assert status == 403 and "--save" in data["error"]
        assert started.ok("POST", "/api/save")["saved"] == str(target)
        assert load_colour(target).name == str(target)
        assert not (photos.parent / "other.json").exists()
    finally:
        started.stop()
        target.unlink(missing_ok=True)


BAD_REQUESTS = [
    ("POST", "/api/samples", b"{not json", 400),
    ("POST", "/api/samples", b"[1, 2]", 400),
    ("POST", "/api/samples", b'{"frame": 7, "rect": [0, 0, 5, 5]}', 404),
    ("POST", "/api/samples", b'{"frame": "0", "rect": [0, 0, 5, 5]}', 400),
    ("POST", "/api/samples", b'{"frame": 0, "rect": [0, 0, 5]}', 400),
    ("POST", "/api/samples", b'{"frame": 0, "rect": [400, 300, 500, 400]}', 400),
    ("POST", "/api/samples", b'{"frame": 0, "rect": [0, 0, 5, 5], "disc": [1, 1, 1]}', 400),
    ("POST", "/api/samples", b'{"frame": 0, "disc": [1, 1, 1e999]}', 400),
    ("POST", "/api/samples", b'{"frame": 0, "path": "/etc/passwd"}', 400),
    ("POST", "/api/samples", b'{"frame": 0, "rect": [' + b"1, " * 40000 + b"1]}", 413),
    ("POST", "/api/settings", b'{"widening": 2}', 400),
    ("GET", "/api/finds?frame=0&shape=cube", None, 400),
    ("GET", "/api/finds?frame=0&min_score=2", None, 400),
    ("GET", "/api/finds?frame=0&min_r=50&max_r=10", None, 400),
    ("GET", "/api/finds?frame=0&path=/etc/passwd", None, 400),
    ("GET", "/api/finds?frame=x", None, 400),
    ("GET", "/api/frames/abc/image", None, 400),
    ("GET", "/api/frames/-1/mask", None, 404),
    ("GET", "/api/frames/0/stream", None, 400),
    ("DELETE", "/api/samples/x", None, 400),
    ("GET", "/static/../session.py", None, 404),
    ("PUT", "/api/frames", None, 405),
]


@pytest.mark.parametrize("method, path, raw, status", BAD_REQUESTS, ids=lambda v: str(v)[:40])
def test_bad_requests_get_json_errors_and_the_server_goes_on(server, method, path, raw, status):
    if "finds" in path:
        server.ok("POST", "/api/samples", SAMPLE)  # so that the options, not the missing colour, are refused
    headers = {"Content-Type": "application/json"} if raw is not None else {}
    got, data, _ = server.request(method, path, headers=headers, raw=raw)
    assert (got, type(data)) == (status, dict) and data["error"] and "Traceback" not in data["error"]
    assert len(server.ok("GET", "/api/frames")["frames"]) == 2


def test_unreadable_source_is_a_json_500_and_the_server_goes_on(tmp_path):
    folder = write_frames(tmp_path / "photos")
    started = Server(tmp_path, "photos", "--port", "0")
    try:
        (folder / "f1.png").write_bytes(b"not a picture any more")
        status, data, _ = started.request("GET", "/api/frames/1/image")
        assert status == 500 and "f1.png" in data["error"]
        status, _, response = started.request("GET", "/api/frames/0/image")
        assert status == 200 and response.getheader("Content-Type") == "image/jpeg"
    finally:
        started.stop()


@pytest.mark.parametrize("headers", [{"Host": "evil.example:80"}, {"Host": "localhost.evil.example"},
                                     {"Origin": "http://evil.example"}, {"Origin": "null"},
                                     {"Sec-Fetch-Site": "cross-site"}])
def test_foreign_pages_are_refused(server, headers):
    status, data, _ = server.request("POST", "/api/samples", SAMPLE, headers)
    assert status == 403 and "refused" in data["error"]
    assert server.ok("GET", "/api/colour")["samples"] == []


def test_a_cross_site_form_post_is_refused(server):
    # What a form elsewhere can send without a preflight: not JSON.
    status, _, _ = server.request("POST", "/api/save", headers={"Content-Type": "text/plain"}, raw=b'{"path": "x.json"}')
    assert status == 415 and not (server.cwd / "x.json").exists()


def test_a_non_loopback_host_needs_the_token(photos):
    started = Server(photos.parent, "photos", "--host", "0.0.0.0", "--port", "0")
    try:
        assert started.token and len(started.token) >= 24
        assert started.request("GET", "/api/frames")[0] == 401
        assert started.request("GET", "/api/frames", headers={"X-Kestrune-Token": "x" + started.token})[0] == 403
        assert started.request("GET", "/api/frames?token=wrong")[0] == 403
        assert started.ok("GET", "/api/frames", headers={"X-Kestrune-Token": started.token})["frames"]
        status, _, response = started.request("GET", f"/?token={started.token}")
        cookie = response.getheader("Set-Cookie").split(";")[0]
        assert status == 200 and "SameSite=Strict" in response.getheader("Set-Cookie")
        assert started.ok("GET", "/api/frames", headers={"Cookie": cookie})["frames"]  # what <img> requests carry
    finally:
        started.stop()


def test_loopback_needs_no_token(server):
    assert server.token is None and server.line.startswith("kestrune tune: serving http://127.0.0.1:")
    status, _, response = server.request("GET", "/static/tune.js")
    assert status == 200 and response.getheader("Content-Type").startswith("text/javascript")


def port_free(port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as a new server would
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def test_ctrl_c_stops_at_once_with_130_and_leaves_nothing(tmp_path):
    folder = write_frames(tmp_path / "photos")
    started = Server(tmp_path, "photos", "--port", "0")
    started.ok("POST", "/api/samples", SAMPLE)
    # An open request for a picture while stopping.
    connection = http.client.HTTPConnection("127.0.0.1", started.port, timeout=10)
    connection.request("GET", "/api/frames/0/mask")
    before = sorted(p for p in tmp_path.rglob("*"))
    t0 = time.monotonic()
    code, err = started.interrupt()
    connection.close()
    assert code == 130 and time.monotonic() - t0 < 3.0
    assert err.strip().splitlines()[-1] == "kestrune tune: interrupted" and "Traceback" not in err
    assert sorted(p for p in tmp_path.rglob("*") if "__pycache__" not in p.parts) == before
    assert port_free(started.port)
    assert sorted(p.name for p in folder.iterdir()) == ["f0.png", "f1.png"]


@pytest.mark.parametrize("args, message", [
    (["missing.png"], "missing.png"), (["empty"], "no image files"), (["photos", "--port", "70000"], "--port"),
    (["photos", "--save", "nowhere/ball.json"], "nowhere")])
def test_bad_arguments_are_one_line(photos, args, message):
    (photos.parent / "empty").mkdir(exist_ok=True)
    port = [] if "--port" in args else ["--port", "0"]
    done = subprocess.run([sys.executable, "-m", "kestrune_find", "tune", *args, *port, "--no-browser"],
                          cwd=photos.parent, capture_output=True, text=True, timeout=60)
    assert done.returncode in (1, 2) and message in done.stderr and len(done.stderr.strip().splitlines()) == 1


def tune_lines():
    """Each `kestrune tune ...` line of the README and the docs, with where it is."""
    found = []
    for path in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]:
        for number, line in enumerate(path.read_text().splitlines(), 1):
            if line.strip().startswith("kestrune tune"):
                found.append(pytest.param(line.strip(), id=f"{path.name}:{number}"))
    return found or [pytest.param("", marks=pytest.mark.skip(reason="no kestrune tune lines in the docs"))]


@pytest.fixture(scope="module")
def docs_folder(tmp_path_factory):
    """What the docs' lines name: photo.png, photos/, clip.avi."""
    folder = tmp_path_factory.mktemp("docs")
    write_frames(folder / "photos")
    save_image(ball_frame(*BALLS[0], 0), folder / "photo.png")
    cv2 = pytest.importorskip("cv2")
    writer = cv2.VideoWriter(str(folder / "clip.avi"), cv2.VideoWriter_fourcc(*"MJPG"), 10, (320, 240))
    for k in range(3):
        writer.write(np.ascontiguousarray(ball_frame(*BALLS[k % 2], k)[:, :, ::-1]))
    writer.release()
    return folder


@pytest.mark.parametrize("line", tune_lines())
def test_the_docs_tune_lines_start(docs_folder, line):
    args = shlex.split(line.split(" #")[0])[2:]
    if any(a.isdigit() and not (docs_folder / a).exists() for a in args[:1]):
        from kestrune_find.cli import build_parser

        build_parser().parse_args(["tune", *args])  # a camera: only the arguments are checked here
        return
    started = Server(docs_folder, *args, "--port", "0")
    code, err = started.interrupt()
    assert code == 130, err
    for name in ("ball.json", "colour.json"):
        assert not (docs_folder / name).exists()
