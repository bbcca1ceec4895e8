"""The live web page and its endpoints: real readers of the local RTSP test server, a real HTTP
server, plain HTTP clients and Debian's headless Chromium driven through WebDriver."""

import base64
import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest
import simplejpeg

from vantle import live_feed
from vantle.live_feed import LiveFeed
from vantle.web import serve

from tests.helpers import NEVER_PLAYS, wait_for
from tests.streams import RtspServer

PASSWORD = "s3cret-word"
# BGR means of the solid test mounts, as decoded (H.264 shifts them a little).
RED, BLUE = (0, 0, 255), (255, 0, 0)
CHROMEDRIVER = shutil.which("chromedriver")
CHROMIUM = shutil.which("chromium")


def open_feed(url, **kwargs):
    return LiveFeed(url, latency=200, runtime_options={}, **kwargs)


@pytest.fixture(scope="module")
def camera_server():
    """An RTSP server of this module's own: the last browser test stops it."""
    with RtspServer() as server:
        yield server


@pytest.fixture(scope="module")
def feeds(camera_server):
    """Readers of /red (with a password in its URL), /blue and /h264, each with a first frame,
    and one of a pipeline that never plays."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(live_feed, "_STATE_CHANGE_TIMEOUT", 2)
        patch.setattr(live_feed, "_FRAME_TIMEOUT", 2)
        readers = [open_feed(camera_server.url("/red", "viewer", PASSWORD)),
                   open_feed(camera_server.url("/blue")),
                   open_feed(camera_server.url("/h264")),
                   open_feed("x://never", pipeline_str=NEVER_PLAYS)]
        try:
            for reader in readers[:3]:
                assert reader.next_frame(timeout=15) is not None
            yield readers
        finally:
            for reader in readers:
                reader.close()
            for reader in readers:
                reader.wait_until_closed()


@pytest.fixture(scope="module")
def web(feeds):
    server = serve(dict(enumerate(feeds)))
    yield server
    server.close()


def address(server):
    """(host, port) of a web server or of its printed URL."""
    host, port = re.match(r"http://(.+):(\d+)/", getattr(server, "url", server)).groups()
    return host, int(port)


def fetch(server, path, method="GET", headers=None):
    """(status, headers, body) of one request to ``server`` (a web server or its URL)."""
    host, port = address(server)
    connection = http.client.HTTPConnection(host, int(port), timeout=10)
    try:
        connection.request(method, path, headers=headers or {})
        response = connection.getresponse()
        return response.status, response.headers, response.read()
    finally:
        connection.close()


class MjpegClient:
    """Reads parts of an MJPEG response from a raw socket, so a test can drop it at any time."""

    def __init__(self, server, path):
        host, port = address(server)
        self.sock = socket.create_connection((host, port), timeout=10)
        self.sock.sendall(f"GET {path} HTTP/1.1\r\nHost: {host}:{port}\r\n\r\n".encode())
        self.buffer = b""
        head = self._until(b"\r\n\r\n")
        self.status = int(head.split(b" ", 2)[1])
        self.headers = head.decode("latin-1")
        match = re.search(r"boundary=(\S+)", self.headers)
        self.boundary = match.group(1).encode() if match else None

    def _until(self, marker):
        while marker not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("connection closed")
            self.buffer += chunk
        head, _, self.buffer = self.buffer.partition(marker)
        return head

    def part(self):
        """(headers, JPEG bytes) of the next part."""
        self._until(b"--" + self.boundary + b"\r\n")
        headers = self._until(b"\r\n\r\n").decode("latin-1")
        length = int(re.search(r"Content-Length: (\d+)", headers).group(1))
        while len(self.buffer) < length:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("connection closed")
            self.buffer += chunk
        data, self.buffer = self.buffer[:length], self.buffer[length:]
        return headers, data

    def close(self):
        self.sock.close()


def mean_bgr(jpeg):
    return simplejpeg.decode_jpeg(jpeg, colorspace="BGR").reshape(-1, 3).mean(axis=0)


def assert_colour(bgr, expected):
    assert np.abs(np.asarray(bgr) - expected).max() < 40, f"mean BGR {bgr} is not {expected}"


# --------------------------------------------------------------------------- HTTP endpoints


def test_streams_json_describes_every_stream(web):
    status, headers, body = fetch(web, "/api/streams")
    assert status == 200 and headers["Content-Type"] == "application/json"
    streams = json.loads(body)
    assert [stream["index"] for stream in streams] == [0, 1, 2, 3]
    assert streams[3]["status"] != "streaming" and streams[3]["frame_number"] == 0
    for stream in streams[:3]:
        assert stream["status"] == "streaming"
        assert stream["frame_number"] >= 1 and stream["halts"] == 0
        assert stream["source"]["width"] == 320 and stream["source"]["height"] == 240
        assert {"fps", "age", "decoder", "hardware", "limited", "last_error", "url"} <= stream.keys()
    assert streams[0]["url"].startswith("rtsp://viewer:") and PASSWORD not in streams[0]["url"]
    status, _, body = fetch(web, "/api/streams/2")
    assert status == 200 and json.loads(body)["url"].endswith("/h264")


def test_jpeg_is_the_newest_frame_of_the_stream(web, feeds):
    status, headers, body = fetch(web, "/streams/1.jpg")
    assert status == 200 and headers["Content-Type"] == "image/jpeg"
    assert body[:3] == b"\xff\xd8\xff" and body[-2:] == b"\xff\xd9"
    assert_colour(mean_bgr(body), BLUE)
    number = int(headers["X-Frame-Number"])
    assert 1 <= number <= feeds[1].frame_number
    # With ?after=, a frame the client already has is not sent again.
    status, _, body = fetch(web, f"/streams/1.jpg?after={10**9}")
    assert status == 204 and body == b""


def test_mjpeg_sends_jpeg_parts_at_the_chosen_rate(web):
    client = MjpegClient(web, "/streams/0.mjpeg?fps=4")
    try:
        assert client.status == 200 and "multipart/x-mixed-replace" in client.headers
        numbers, started = [], time.monotonic()
        for _ in range(6):
            headers, data = client.part()
            assert "Content-Type: image/jpeg" in headers
            assert data[:3] == b"\xff\xd8\xff" and data[-2:] == b"\xff\xd9"
            numbers.append(int(re.search(r"X-Frame-Number: (\d+)", headers).group(1)))
        elapsed = time.monotonic() - started
        assert_colour(mean_bgr(data), RED)
        assert numbers == sorted(set(numbers))  # each part a newer frame
        # Six parts at 4 fps span at least five intervals: the cap holds.
        assert elapsed >= 5 / 4 - 0.1
    finally:
        client.close()


@pytest.mark.parametrize("path, status", [
    ("/streams/4.jpg", 404), ("/streams/9.mjpeg", 404), ("/api/streams/4", 404), ("/nothing", 404),
    ("/static/../server.py", 404), ("/static/%2e%2e/server.py", 404),
    ("/streams/0.mjpeg?fps=0", 400), ("/streams/0.mjpeg?fps=x", 400), ("/streams/0.jpg?after=x", 400),
])
def test_bad_requests_are_refused(web, path, status):
    assert fetch(web, path)[0] == status


@pytest.mark.parametrize("method", ["POST", "PUT", "DELETE", "PATCH", "OPTIONS"])
def test_only_get_and_head_are_served(web, method):
    status, headers, _ = fetch(web, "/api/streams", method=method)
    assert status == 405 and headers["Allow"] == "GET, HEAD"


def test_head_sends_headers_only(web):
    status, headers, body = fetch(web, "/streams/0.jpg", method="HEAD")
    assert status == 200 and headers["Content-Type"] == "image/jpeg" and body == b""


def test_requests_for_a_foreign_host_name_are_refused(web):
    # A page elsewhere that points its own name at 127.0.0.1 must not read the cameras.
    assert fetch(web, "/api/streams", headers={"Host": "attacker.example:80"})[0] == 403
    assert fetch(web, "/api/streams", headers={"Host": "localhost"})[0] == 200


def test_no_response_shows_a_password(web):
    client = MjpegClient(web, "/streams/0.mjpeg")
    try:
        texts = [client.headers, client.part()[0]]
    finally:
        client.close()
    for path in ["/", "/static/app.js", "/api/streams", "/api/streams/0", "/streams/0.jpg", "/streams/3.jpg",
                 "/streams/7.jpg"]:
        status, headers, body = fetch(web, path)
        texts.append(str(headers))
        if not path.endswith(".jpg") or status != 200:
            texts.append(body.decode())
    assert all(PASSWORD not in text for text in texts)


def test_concurrent_viewers_each_get_frames(web):
    errors, parts = [], []

    def view(index):
        try:
            client = MjpegClient(web, f"/streams/{index}.mjpeg?fps=10")
            try:
                parts.extend(client.part()[1][:3] for _ in range(3))
            finally:
                client.close()
            status, _, body = fetch(web, f"/streams/{index}.jpg")
            assert status == 200 and body[:2] == b"\xff\xd8"
        except Exception as error:  # reported below, from the test's thread
            errors.append(error)

    threads = [threading.Thread(target=view, args=(index % 3,)) for index in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    assert not errors and len(parts) == 18


@pytest.fixture
def silent_feed():
    """A reader that never delivers a frame."""
    feed = open_feed("x://never", pipeline_str=NEVER_PLAYS)
    yield feed
    feed.close()
    feed.wait_until_closed()


@pytest.mark.parametrize("which", ["streaming", "silent"])
def test_viewer_that_disconnects_leaves_no_thread(feeds, request, which):
    reader = feeds[2] if which == "streaming" else request.getfixturevalue("silent_feed")
    server = serve({0: reader})
    try:
        before = threading.active_count()
        clients = [MjpegClient(server, "/streams/0.mjpeg") for _ in range(3)]
        if which == "streaming":
            for client in clients:
                client.part()
        assert wait_for(lambda: server.viewers(0) == 3, 5)
        for client in clients:
            client.close()
        # The writers notice at their next frame, or within a frame wait when no frame comes.
        assert wait_for(lambda: server.viewers() == 0 and threading.active_count() <= before, 5)
    finally:
        server.close()


def test_viewer_and_tile_say_when_a_stream_closes(camera_server, browser):
    feed = open_feed(camera_server.url("/blue"))
    server = serve({0: feed})
    try:
        client = MjpegClient(server, "/streams/0.mjpeg?fps=20")
        client.part()
        browser.get(server.url)
        assert wait_for(lambda: tile_statuses(browser) == ["streaming"], 15)
        feed.close()
        with pytest.raises(EOFError):
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline:
                client.part()
        assert wait_for(lambda: server.viewers() == 0, 5)
        assert json.loads(fetch(server, "/api/streams")[2])[0]["status"] == "closed"
        assert wait_for(lambda: tile_statuses(browser) == ["closed"], 5)
        notice = tile(browser, 0).find_element("css selector", ".notice")
        assert notice.is_displayed() and notice.text == "Closed"
    finally:
        client.close()
        server.close()
        feed.wait_until_closed()


@pytest.mark.parametrize("bind", [None, "127.0.0.2"])
def test_watch_web_serves_the_page(tmp_path, bind):
    options = ["--bind", bind] if bind else []
    proc = subprocess.Popen([sys.executable, "-m", "vantle", "watch", "--web", "--seconds", "20", "--plain", *options],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=tmp_path)
    host = re.escape(bind or "127.0.0.1")
    try:
        url = None
        deadline = time.monotonic() + 20
        while url is None and time.monotonic() < deadline:
            line = proc.stdout.readline()
            match = re.match(rf"web page: (http://{host}:\d+/)$", line.strip())
            url = match.group(1) if match else url
            assert line or proc.poll() is None, proc.stderr.read()
        assert url, "no page address printed"
        assert fetch(url, "/")[0] == 200
        assert wait_for(lambda: json.loads(fetch(url, "/api/streams")[2])[0]["status"] == "streaming", 15)
        status, _, body = fetch(url, "/streams/0.jpg")
        assert status == 200 and simplejpeg.decode_jpeg_header(body)[:2] == (360, 640)
    finally:
        proc.send_signal(2)
        _, stderr = proc.communicate(timeout=20)
    assert proc.returncode == 0, stderr
    assert ("warning: the page is served on 127.0.0.2" in stderr) == bool(bind)


# --------------------------------------------------------------------------- in the browser


@pytest.fixture(scope="module")
def browser():
    if not (CHROMEDRIVER and CHROMIUM):
        pytest.skip("needs Debian's chromium and chromium-driver (scripts/install-system-deps.sh)")
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1600,900", "--force-device-scale-factor=1"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.set_page_load_timeout(20)
    driver.set_script_timeout(20)
    yield driver
    driver.quit()


def tile(driver, index):
    return driver.find_element("css selector", f'.tile[data-index="{index}"]')


def tile_statuses(driver):
    return [element.get_attribute("data-status") for element in driver.find_elements("css selector", ".tile")]


def picture_shot(driver, index):
    """The tile's picture as the screen shows it: a screenshot of its rectangle, decoded to BGR."""
    rect = driver.execute_script(
        "const r = arguments[0].getBoundingClientRect(); return [r.x, r.y, r.width, r.height];",
        tile(driver, index).find_element("css selector", "img"))
    shot = driver.execute_cdp_cmd("Page.captureScreenshot", {
        "format": "jpeg", "quality": 90,
        "clip": {"x": rect[0], "y": rect[1], "width": rect[2], "height": rect[3], "scale": 1}})
    return simplejpeg.decode_jpeg(base64.b64decode(shot["data"]), colorspace="BGR")


def centre_bgr(shot):
    """Mean BGR of the middle of a picture, away from the letterbox bars."""
    height, width = shot.shape[:2]
    return shot[height // 4: 3 * height // 4, width // 4: 3 * width // 4].reshape(-1, 3).mean(axis=0)


def pictures_loaded(driver):
    return driver.execute_script(
        "return [...document.querySelectorAll('.tile img')].map(img => img.complete && img.naturalWidth > 0)")


def test_page_shows_every_stream_live(web, browser):
    browser.get(web.url)
    assert wait_for(lambda: tile_statuses(browser)[:3] == ["streaming"] * 3, 15)
    assert wait_for(lambda: all(pictures_loaded(browser)[:3]), 15)
    assert_colour(centre_bgr(picture_shot(browser, 0)), RED)
    assert_colour(centre_bgr(picture_shot(browser, 1)), BLUE)

    facts = {element.get_attribute("data-fact"): element.text
             for element in tile(browser, 2).find_elements("css selector", "dd")}
    assert facts["size"] == "320×240" and facts["halts"] == "0"
    assert re.match(r"\d+\.\d\d s$", facts["age"]) and facts["decoder"].endswith("software")
    assert facts["source"].startswith("25 fps · limited")
    assert wait_for(lambda: re.match(r"\d+\.\d$", tile(browser, 2).find_element(
        "css selector", '[data-fact="fps"]').text), 5)
    # The delay, once the camera's first sender report maps its pictures to capture times.
    assert wait_for(lambda: re.match(r"\d+ ms$", tile(browser, 2).find_element(
        "css selector", '[data-fact="delay"]').text), 12)
    assert PASSWORD not in browser.page_source
    # A stream without a picture says why instead of showing nothing.
    silent = tile(browser, 3)
    assert silent.get_attribute("data-status") in ("initializing", "halted")
    notice = silent.find_element("css selector", ".notice")
    assert notice.is_displayed() and re.match(r"(Initializing|Halted)", notice.text)

    # The moving test picture changes from one look to the next.
    first = picture_shot(browser, 2).astype(np.int16)
    assert wait_for(lambda: np.abs(picture_shot(browser, 2).astype(np.int16) - first).mean() > 2, 5)
    screenshot = os.environ.get("VANTLE_WEB_SCREENSHOT")
    if screenshot:  # the picture in the README
        Path(screenshot).parent.mkdir(parents=True, exist_ok=True)
        browser.save_screenshot(screenshot)


def test_clicking_a_tile_shows_its_stats(web, browser):
    browser.get(web.url)
    assert wait_for(lambda: len(tile_statuses(browser)) == 4, 15)
    tile(browser, 0).click()
    dialog = browser.find_element("id", "details")
    assert wait_for(dialog.is_displayed, 5)

    def rows():  # one script call: the table is redrawn with every stats update
        return browser.execute_script(
            "return Object.fromEntries([...document.querySelectorAll('#details-table tr')]"
            ".map(row => [row.dataset.key, row.querySelector('td').textContent]))")

    assert wait_for(lambda: {"status", "frames_received", "rebuilds", "source.codec", "transport",
                             "latency_ms", "url"} <= rows().keys(), 5)
    shown = rows()
    assert shown["status"] == "streaming" and shown["source.codec"] == "h264"
    assert shown["url"].startswith("rtsp://viewer:") and PASSWORD not in browser.page_source
    dialog.find_element("css selector", "button").click()
    assert wait_for(lambda: not dialog.is_displayed(), 5)


def test_stream_without_frames_says_why_and_costs_no_picture_requests(web, browser):
    browser.get(web.url)
    assert wait_for(lambda: len(tile_statuses(browser)) == 4 and all(pictures_loaded(browser)[:3]), 15)
    # Every request the page sends from now on (the browser's resource timing leaves out 503s).
    browser.execute_script("window.asked = []; const send = window.fetch; "
                           "window.fetch = (url, ...rest) => { window.asked.push(String(url)); return send(url, ...rest); };")
    time.sleep(6)
    names = browser.execute_script("return window.asked")

    def requests(path):
        return sum(name.split("?")[0] == path for name in names)

    assert requests("/api/streams") >= 4
    assert requests("/streams/2.jpg") >= 10  # a streaming tile, about 5 a second
    assert requests("/streams/3.jpg") == 0  # the stream that never delivers a frame

    def shown():
        stats = json.loads(fetch(web, "/api/streams/3")[2])
        silent = tile(browser, 3)
        return (stats, silent.find_element("css selector", '[data-fact="rebuilds"]').text,
                silent.find_element("css selector", ".notice small").text)

    def says_why():
        stats, rebuilds, detail = shown()
        return stats["last_error"] and stats["last_error"] in detail and rebuilds == str(stats["rebuilds"])

    assert wait_for(says_why, 10), shown()
    stats, _, detail = shown()
    assert ("Failing for" in detail) == ("failing_since" in stats)


def test_tiles_say_halted_when_the_server_stops(web, browser, camera_server):
    browser.get(web.url)
    assert wait_for(lambda: tile_statuses(browser)[:3] == ["streaming"] * 3, 15)
    camera_server.stop()
    # While it is rebuilt a stream may pass through initializing; every tile must say halted.
    seen = [set() for _ in range(3)]

    def all_seen_halted():
        for index, status in enumerate(tile_statuses(browser)[:3]):
            seen[index].add(status)
        return all("halted" in statuses for statuses in seen)

    assert wait_for(all_seen_halted, 10), seen
    assert wait_for(lambda: "Halted" in tile(browser, 1).find_element("css selector", ".notice").text, 5)
    notice = tile(browser, 1).find_element("css selector", ".notice")
    assert notice.is_displayed()
