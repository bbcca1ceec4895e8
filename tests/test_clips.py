"""Clips saved from a reader's encoded ring buffer, checked by FFmpeg's ffprobe and decoder."""

import asyncio
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

from tests.helpers import side_by_side, wait_for
from vantle.live_feed import ClipError, LiveFeed

try:
    from tests.test_web import browser  # noqa: F401  (the headless Chromium fixture)
except ImportError:  # without the web extra (simplejpeg) the page is not tested

    @pytest.fixture
    def browser():
        pytest.skip("needs the web extra: pip install 'vantle[web]'")


pytestmark = pytest.mark.skipif(shutil.which("ffprobe") is None, reason="needs FFmpeg (scripts/install-system-deps.sh)")

GOP = 1.0  # every test stream sends a keyframe a second (25 frames at 25 fps)


def probe(path):
    """(stream facts, video packets) as ffprobe reads them."""
    out = subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-show_streams", "-show_format", "-show_packets",
                          "-select_streams", "v:0", str(path)], capture_output=True, text=True, check=True)
    report = json.loads(out.stdout)
    return report["streams"][0], report["format"], report["packets"]


def decode(path):
    """(frames FFmpeg's decoder made of the whole file, what it said: "" when it decoded cleanly). No
    muxer runs, so receive-time jitter in the timestamps cannot read as an error."""
    out = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                          "stream=nb_read_frames", "-of", "json", str(path)], capture_output=True, text=True)
    frames = int(json.loads(out.stdout)["streams"][0]["nb_read_frames"]) if out.returncode == 0 else 0
    return frames, out.stderr.strip() if out.returncode == 0 else f"exit {out.returncode}: {out.stderr.strip()}"


def assert_playable(path, codec, size, asked=None):
    stream, container, packets = probe(path)
    assert stream["codec_name"] == codec
    assert (stream["width"], stream["height"]) == size
    assert packets and "K" in packets[0]["flags"], "a clip starts with a keyframe"
    dts = [int(p["dts"]) for p in packets]
    assert all(a < b for a, b in zip(dts, dts[1:])), "decode timestamps strictly increase"
    pts = sorted(int(p["pts"]) for p in packets)
    assert all(a < b for a, b in zip(pts, pts[1:])), "no two frames share a presentation time"
    if asked is not None:
        assert abs(float(container["duration"]) - asked) <= GOP + 0.3, (container["duration"], asked)
    assert decode(path) == (len(packets), ""), "every frame decodes, without a complaint"
    assert not [p for p in Path(path).parent.iterdir() if p.name.endswith(".part")], "no temporary file left"
    return stream, container, packets


def rtsp_connections(port):
    """Established TCP connections of this process to the RTSP server's port."""
    inodes = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    count = 0
    for line in Path("/proc/net/tcp").read_text().splitlines()[1:]:
        fields = line.split()
        remote_port = int(fields[2].split(":")[1], 16)
        if remote_port == port and fields[3] == "01" and fields[9] in inodes:
            count += 1
    return count


def streaming_feed(url, keep=4.0, seconds=2.5):
    feed = LiveFeed(url, runtime_options={}, keep_encoded=keep)
    assert feed.next_frame(0, timeout=20) is not None
    assert wait_for(lambda: (feed.encoded_buffer() or {}).get("seconds", 0) >= seconds, timeout=seconds + 10)
    return feed


# One mount each: a reader that joins a shared mount another reader plays gets its sender reports,
# and so capture times, at once. Each inner list streams side by side; H.265 on its own, as its
# encoding in the server and decoding here take most of a core.
OWN_VIDEO = [
    [("rtsp:/h264", ".mp4", "h264"), ("rtsp:/fps25", ".mkv", "h264"), ("http:/live.ts", ".mp4", "h264")],
    [("rtsp:/h265", ".mp4", "hevc")],
]


@pytest.fixture(scope="module")
def own_video_clips(rtsp_server, http_server, tmp_path_factory):
    """Per case of OWN_VIDEO: a clip of 2 s before and 1.5 s after the request, whether it was still
    pending when asked for, its reader's frame number once it was done, and this process's RTSP
    connections once every clip of its group was done, its group's readers still open."""
    directory = tmp_path_factory.mktemp("own-video")
    feeds = {}

    def clip(case):
        source, suffix, _ = case
        scheme, path = source.split(":")
        server = rtsp_server if scheme == "rtsp" else http_server
        feeds[case] = feed = LiveFeed(server.url(path), runtime_options={}, keep_encoded=4.0)
        assert feed.next_frame(0, timeout=20) is not None
        assert wait_for(lambda: (feed.encoded_buffer() or {}).get("seconds", 0) >= 2.5, timeout=12.5)
        target = directory / f"clip-{path.strip('/')}{suffix}"
        made = feed.save_clip(target, before=2.0, after=1.5)
        pending = not made.done and not target.exists()
        assert made.wait(timeout=30) is made
        return made, pending, feed.frame_number

    outcomes = {}
    for group in OWN_VIDEO:
        try:
            clips = side_by_side(clip, group)
            connections = rtsp_connections(rtsp_server.port)
        finally:
            while feeds:
                feeds.popitem()[1].wait_until_closed()
        outcomes.update({case: (clips[case], connections) for case in group})
    return outcomes


@pytest.mark.parametrize("source, suffix, codec", [case for group in OWN_VIDEO for case in group])
def test_clip_is_the_streams_own_video(own_video_clips, source, suffix, codec):
    outcome, connections = own_video_clips[source, suffix, codec]
    clip, pending, frame_number = outcome.result()
    assert pending, "save_clip returns before the clip is written"
    assert clip.error is None and not clip.shortened and clip.notes == []
    _, _, packets = assert_playable(clip.path, codec, (320, 240), asked=3.5)
    assert clip.frames == len(packets)
    assert clip.end_received_at - clip.start_received_at == pytest.approx(3.5, abs=GOP + 0.3)
    assert clip.start_captured_at is None  # the test servers send no capture times

    sidecar = json.loads(Path(clip.sidecar_path).read_text())
    numbers = [frame["number"] for frame in sidecar["frame_numbers"]]
    assert numbers == sorted(set(numbers)) and numbers[0] == clip.first_frame_number
    assert numbers[-1] == clip.last_frame_number <= frame_number
    # 25 fps sources are delivered at 20 fps: four of every five clip frames have a number.
    assert len(numbers) == pytest.approx(clip.frames * 0.8, abs=3)
    times = [frame["time"] for frame in sidecar["frame_numbers"]]
    assert times == sorted(times) and times[-1] <= clip.duration
    if source.startswith("rtsp"):
        group = next(group for group in OWN_VIDEO if (source, suffix, codec) in group)
        assert connections == sum(case[0].startswith("rtsp") for case in group), "clips need no second RTSP session"
    # FFmpeg's decoder library links the encoder libraries; GStreamer's encoder plugins load only when used.
    maps = Path("/proc/self/maps").read_text()
    assert "libgstx264" not in maps and "libgstx265" not in maps, "no encoder in the process"


def test_overlapping_clips_at_once_and_awaited(rtsp_server, tmp_path):
    with streaming_feed(rtsp_server.url("/h264")) as feed:
        clips = [feed.save_clip(tmp_path / f"a{i}.mp4", before=3.0 - i, after=1.0 + i) for i in range(3)]
        time.sleep(0.5)
        clips.append(feed.save_clip(tmp_path / "late.mkv", before=1.0, after=0.5))

        async def all_done():
            return await asyncio.gather(*clips)

        assert asyncio.run(asyncio.wait_for(all_done(), 30)) == clips
        for clip, asked in zip(clips, [4.0, 4.0, 4.0, 1.5]):
            assert_playable(clip.path, "h264", (320, 240), asked=asked)
        assert len({clip.first_frame_number for clip in clips}) > 1


def test_clip_across_a_rebuild_keeps_the_gap(own_rtsp_server, tmp_path):
    with streaming_feed(own_rtsp_server.url("/h264"), keep=30.0, seconds=1.0) as feed:
        started = time.monotonic()
        own_rtsp_server.stop()
        assert wait_for(lambda: feed.stats()["status"] == "halted", timeout=15)
        while_down = feed.save_clip(tmp_path / "while-down.mp4", before=1.0, after=1.0)
        own_rtsp_server.start()
        assert while_down.wait(timeout=30) is while_down
        # The camera may be back before the clip's end (a gap) or not (the clip ends early).
        assert any("early" in note or "gap" in note for note in while_down.notes), while_down.notes
        assert_playable(while_down.path, "h264", (320, 240))
        number = feed.frame_number
        assert wait_for(lambda: feed.frame_number > number + 20, timeout=30)
        during = feed.save_clip(tmp_path / "during.mp4", before=time.monotonic() - started + 1.0, after=0.5)
        assert during.wait(timeout=30) is during
        assert any("gap" in note for note in during.notes), during.notes
        _, container, _ = assert_playable(during.path, "h264", (320, 240))
        # The gap is time in the file, not frames squeezed together.
        assert float(container["duration"]) == pytest.approx(
            during.end_received_at - during.start_received_at, abs=0.5)


def read_only_directory(tmp_path):
    directory = tmp_path / "locked"
    directory.mkdir()
    if os.geteuid() == 0:  # permissions do not stop root: a read-only mount does
        subprocess.run(["mount", "-t", "tmpfs", "-o", "ro,size=64k", "tmpfs", str(directory)], check=True)
    else:
        directory.chmod(0o555)
    return directory


@pytest.fixture
def mounts():
    made = []
    yield made
    for directory in made:
        subprocess.run(["umount", "-l", str(directory)], check=False)


def test_requests_that_cannot_be_met_fail_clearly(rtsp_server, tmp_path, mounts):
    with LiveFeed(rtsp_server.url("/h264"), runtime_options={}, keep_encoded=2.0) as feed:
        with pytest.raises(ClipError, match="No keyframe"):
            feed.save_clip(tmp_path / "early.mp4")
        assert feed.next_frame(0, timeout=20) is not None
        wait_for(lambda: feed.encoded_buffer()["gops"] >= 1)
        with pytest.raises(FileNotFoundError):
            feed.save_clip(tmp_path / "missing" / "clip.mp4")
        locked = read_only_directory(tmp_path)
        if os.geteuid() == 0:
            mounts.append(locked)
        with pytest.raises(OSError) as raised:
            feed.save_clip(locked / "clip.mp4")
        assert raised.value.errno in (13, 30)  # EACCES, EROFS
        with pytest.raises(ClipError, match="MP4 .* Matroska"):
            feed.save_clip(tmp_path / "clip.avi")
        with pytest.raises(ValueError):
            LiveFeed(rtsp_server.url("/h264"), runtime_options={}, keep_encoded=-1.0)
        number = feed.frame_number
        assert wait_for(lambda: feed.frame_number > number + 10), "the stream never stalls"
    assert not list(tmp_path.glob("*.mp4")) and not list(tmp_path.glob(".*part"))

    with LiveFeed(rtsp_server.url("/h264"), runtime_options={}) as plain:
        with pytest.raises(ClipError, match="keep_encoded"):
            plain.save_clip(tmp_path / "clip.mp4")


def test_before_longer_than_buffered_gives_a_labelled_shorter_clip(rtsp_server, tmp_path):
    with streaming_feed(rtsp_server.url("/h264"), keep=2.0, seconds=2.0) as feed:
        time.sleep(1.5)
        clip = feed.save_clip(tmp_path / "short.mp4", before=30.0, after=0.5).wait(timeout=30)
        assert clip.shortened and "later than asked" in clip.notes[0]
        _, container, _ = assert_playable(clip.path, "h264", (320, 240))
        # Kept: the pre-roll of 2 s plus at most one more group of pictures.
        assert 2.0 <= float(container["duration"]) <= 2.0 + GOP + 0.5 + 0.3


def test_codec_the_container_cannot_hold(rtsp_server, tmp_path):
    with streaming_feed(rtsp_server.url("/h263"), seconds=1.0) as feed:
        with pytest.raises(ClipError, match="MP4 file cannot hold .*h263"):
            feed.save_clip(tmp_path / "clip.mp4", before=1.0, after=0.5)
        clip = feed.save_clip(tmp_path / "clip.mkv", before=1.0, after=0.5).wait(timeout=30)
        assert_playable(clip.path, "h263", (352, 288), asked=1.5)
    assert not (tmp_path / "clip.mp4").exists()


@pytest.mark.skipif(os.geteuid() != 0, reason="mounting a small tmpfs needs root")
def test_full_disk_leaves_no_file_and_the_stream_goes_on(rtsp_server, tmp_path, mounts):
    full = tmp_path / "full"
    full.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=48k", "tmpfs", str(full)], check=True)
    mounts.append(full)
    with streaming_feed(rtsp_server.url("/h264")) as feed:
        clip = feed.save_clip(full / "clip.mp4", before=3.0, after=1.0)
        with pytest.raises(ClipError, match="[Ss]pace|writ"):
            clip.wait(timeout=30)
        assert clip.error and os.listdir(full) == []
        number = feed.frame_number
        assert wait_for(lambda: feed.frame_number > number + 10)
        assert feed.stats()["status"] == "streaming"


def test_record_command(rtsp_server, tmp_path):
    out = tmp_path / "recorded.mp4"
    result = subprocess.run([sys.executable, "-m", "vantle", "record", rtsp_server.url("/h264"), "--seconds", "2",
                             str(out)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert str(out) in result.stdout
    assert_playable(out, "h264", (320, 240), asked=2.0)


def test_page_clip_button_downloads_the_last_seconds(rtsp_server, tmp_path, browser):
    import urllib.error
    import urllib.request

    from vantle.web import serve

    with streaming_feed(rtsp_server.url("/h264"), keep=10.0, seconds=3.0) as feed, \
            LiveFeed(rtsp_server.url("/h264"), runtime_options={}) as plain, serve({0: feed, 1: plain}) as server:
        browser.get(server.url)
        assert wait_for(lambda: browser.find_elements("css selector", '.tile[data-index="0"] a.save-clip'), 15)
        link = browser.find_element("css selector", '.tile[data-index="0"] a.save-clip')
        assert link.is_displayed() and link.get_attribute("download") is not None
        with urllib.request.urlopen(link.get_attribute("href"), timeout=30) as response:
            (tmp_path / "button.mp4").write_bytes(response.read())
        assert_playable(tmp_path / "button.mp4", "h264", (320, 240))

        with urllib.request.urlopen(server.url + "streams/0/clip.mp4?seconds=2.5", timeout=30) as response:
            assert response.headers["Content-Type"] == "video/mp4"
            assert response.headers["Content-Disposition"].startswith('attachment; filename="stream-0-')
            (tmp_path / "download.mp4").write_bytes(response.read())
        assert_playable(tmp_path / "download.mp4", "h264", (320, 240), asked=2.5)
        for path, status in [("streams/1/clip.mp4", 409), ("streams/0/clip.mp4?seconds=-1", 400),
                             ("streams/7/clip.mp4", 404)]:
            with pytest.raises(urllib.error.HTTPError) as refused:
                urllib.request.urlopen(server.url + path, timeout=30)
            assert refused.value.code == status
