"""Native BGR conversion: colours against a floating-point reference for every matrix and range, and
against videoconvert's own output for every format the reader converts itself; the matrix and range the
caps name, one conversion per record shared by every reader of it, none for frames never read, and
videoconvert still handling every other format."""

import threading
import time
from contextlib import contextmanager

import gi
import numpy as np
import pytest

gi.require_version("Gst", "1.0")
gi.require_version("GstVideo", "1.0")
from gi.repository import Gst, GstVideo  # noqa: E402

from vantle.feed_contract import StreamStatus  # noqa: E402
from vantle.live_feed import LiveFeed  # noqa: E402

from tests.helpers import wait_for  # noqa: E402

pytestmark = pytest.mark.usefixtures("short_timeouts")

ODD_SIZES = [(322, 243), (330, 241)]
# Largest per-channel difference from videoconvert. Packed RGB is copied. The reader is within a
# level of the exact result (see the floating-point reference below), videoconvert a few levels.
TOLERANCE = {"bt601": 6, "1:4:0:0": 4, "bt709": 6, "1:3:0:0": 4, "bt2020": 6}


def source(fmt, width, height, pattern="smpte", colorimetry=None, live=True, frames=-1):
    caps = f"video/x-raw,format={fmt},width={width},height={height},framerate=10/1"
    if colorimetry:
        caps += f",colorimetry={colorimetry}"
    return f"videotestsrc is-live={str(live).lower()} num-buffers={frames} pattern={pattern} ! {caps}"


def bgr_rows(sample):
    """The packed BGR picture of a sample, without the padding at the end of each row."""
    info = GstVideo.VideoInfo.new_from_caps(sample.get_caps())
    buffer = sample.get_buffer()
    ok, mapped = buffer.map(Gst.MapFlags.READ)
    assert ok
    try:
        rows = np.frombuffer(mapped.data, np.uint8)[info.offset[0]:info.offset[0] + info.stride[0] * info.height]
        return rows.reshape(info.height, info.stride[0])[:, :info.width * 3].reshape(info.height, info.width, 3).copy()
    finally:
        buffer.unmap(mapped)


def videoconvert_bgr(head):
    """videoconvert's BGR picture of the first frame of `head` (a launch string)."""
    pipeline = Gst.parse_launch(f"{head} ! videoconvert ! video/x-raw,format=BGR ! appsink name=sink")
    pipeline.set_state(Gst.State.PLAYING)
    try:
        sample = pipeline.get_by_name("sink").emit("try-pull-sample", 10 * Gst.SECOND)
        assert sample is not None
        return bgr_rows(sample)
    finally:
        pipeline.set_state(Gst.State.NULL)


@contextmanager
def reading(head):
    """A reader whose launch string hands `head`'s frames to the appsink as they are."""
    with LiveFeed("x", latency=0, runtime_options={}, pipeline_str=f"{head} ! identity name={{url}} ! "
                  "appsink name=main_sink") as feed:
        assert feed.new_frame_event.wait(10)
        yield feed


def largest_difference(frame, expected):
    assert frame.shape == expected.shape
    return int(np.abs(frame.astype(int) - expected).max())


@pytest.mark.parametrize("width,height", ODD_SIZES)
@pytest.mark.parametrize("fmt", ["BGR", "BGRx", "BGRA", "I420", "YV12", "NV12", "NV21"])
@pytest.mark.parametrize("pattern", ["smpte", "solid-color foreground-color=0xff2080e0", "pinwheel"])
def test_formats_match_videoconvert(fmt, width, height, pattern):
    expected = videoconvert_bgr(source(fmt, width, height, pattern, live=False))
    with reading(source(fmt, width, height, pattern)) as feed:
        frame = feed.latest_frame[1]
    # BT.601 is what the caps of standard-definition YUV default to.
    tolerance = 0 if fmt.startswith("BGR") else TOLERANCE["bt601"]
    assert largest_difference(frame, expected) <= tolerance
    if pattern.startswith("solid"):
        assert np.abs(frame.reshape(-1, 3).astype(int) - (0xe0, 0x80, 0x20)).max() <= 3


@pytest.mark.parametrize("fmt", ["I420", "NV12"])
@pytest.mark.parametrize("colorimetry,other", [
    ("bt601", "bt709"), ("bt709", "bt601"), ("bt2020", "bt601"), ("1:4:0:0", "bt601"), ("1:3:0:0", "bt709"),
])
def test_matrix_and_range_come_from_the_caps(fmt, colorimetry, other):
    expected = videoconvert_bgr(source(fmt, 322, 242, colorimetry=colorimetry, live=False))
    with reading(source(fmt, 322, 242, colorimetry=colorimetry)) as feed:
        frame = feed.latest_frame[1]
    assert largest_difference(frame, expected) <= TOLERANCE[colorimetry]
    # The same planes read with another matrix or range give visibly other colours.
    assert largest_difference(frame, videoconvert_bgr(source(fmt, 322, 242, colorimetry=other, live=False))) > 15


def test_decoded_h264_matches_videoconvert(tmp_path):
    clip = tmp_path / "clip.h264"  # one keyframe, the same picture on every rebuild
    encode = Gst.parse_launch(
        f"{source('I420', 640, 360, 'pinwheel', live=False, frames=1)} ! x264enc ! "
        f"video/x-h264,stream-format=byte-stream ! filesink location={clip}")
    encode.set_state(Gst.State.PLAYING)
    try:
        assert encode.get_bus().timed_pop_filtered(30 * Gst.SECOND, Gst.MessageType.EOS | Gst.MessageType.ERROR)
    finally:
        encode.set_state(Gst.State.NULL)
    decode = f"filesrc location={clip} ! h264parse ! avdec_h264"
    expected = videoconvert_bgr(decode)
    with LiveFeed(str(clip), latency=0, runtime_options={},
                  pipeline_str="filesrc location={url} ! h264parse ! avdec_h264 ! appsink name=main_sink") as feed:
        assert feed.new_frame_event.wait(10)
        frame = feed.latest_frame[1]
    assert largest_difference(frame, expected) <= TOLERANCE["bt601"]


def test_concurrent_readers_of_a_record_share_one_conversion():
    readers = 8
    with reading(source("I420", 1920, 1080, "pinwheel").replace("framerate=10/1", "framerate=1/1")) as feed:
        for _attempt in range(3):
            # A fresh record, a second before the next; polled, so that it stays unconverted.
            assert poll_next_frame(feed, feed.frame_number, 5)
            converted = feed._frames_converted
            barrier = threading.Barrier(readers)
            results = [None] * readers

            def read(index):
                barrier.wait()
                results[index] = feed.latest_frame

            threads = [threading.Thread(target=read, args=(i,)) for i in range(readers)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(10)
            if len({r[0] for r in results}) == 1:  # no newer frame arrived meanwhile
                break
        assert len({id(r) for r in results}) == 1 and len({id(r[1]) for r in results}) == 1
        assert feed._frames_converted == converted + 1
        assert feed.latest_frame is results[0]


@pytest.mark.parametrize("kind", ["launch string", "rtsp"])
def test_frames_never_read_are_never_converted(kind, rtsp_server):
    if kind == "rtsp":
        feed = LiveFeed(rtsp_server.url("/h264"), latency=0, runtime_options={})
    else:
        feed = LiveFeed("x", latency=0, runtime_options={},
                        pipeline_str=f"{source('I420', 320, 240).replace('10/1', '30/1')} ! identity name={{url}} ! "
                        "appsink name=main_sink")
    def let_frames_pass(count=3):
        for _ in range(count):
            assert poll_next_frame(feed, feed.frame_number, 5)

    with feed:
        assert poll_next_frame(feed, 0, 10)
        let_frames_pass()
        assert feed._frames_converted == 0
        first = feed.latest_frame
        assert feed.latest_frame is first and feed._frames_converted == 1
        let_frames_pass()
        assert feed._frames_converted == 1
        assert feed.latest_frame[0] > first[0] and feed._frames_converted == 2

        # A thread waiting for the next frame gets it converted before it wakes: its read only
        # takes the array. Frames stored while nobody waits stay unconverted.
        for wait in (lambda: feed.new_frame_event.wait(5), lambda: feed.next_frame(feed.frame_number, timeout=5)):
            feed.new_frame_event.clear()
            converted = feed._frames_converted
            assert wait()
            assert feed._frames_converted == converted + 1
            let_frames_pass()
            assert feed._frames_converted == converted + 1


def poll_next_frame(feed, after, timeout):
    """Waits, without announcing a wait to the reader, for a frame numbered above `after`."""
    deadline = time.monotonic() + timeout
    while feed.frame_number <= after:
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


@pytest.mark.parametrize("mount,decoded,converted_by", [
    ("/h264", "I420", "passes the decoder's I420 frames through"),
    ("/h264-444", "Y444", "converts the decoder's Y444 frames to BGR"),
    ("/h264-10bit", "I420_10LE", "converts the decoder's I420_10LE frames to BGR"),
])
def test_url_streams_convert_where_the_decoded_format_allows(mount, decoded, converted_by, rtsp_server, logs):
    expected = videoconvert_bgr(source("I420", 320, 240, live=False))
    with LiveFeed(rtsp_server.url(mount), latency=0, runtime_options={}) as feed:
        assert feed.new_frame_event.wait(10)
        frame = feed.latest_frame[1]
        assert feed.status is StreamStatus.STREAMING
    assert any(r.getMessage() == f"videoconvert {converted_by}" for r in logs.records)
    assert frame.shape == (240, 320, 3)
    # Only the colour bars (the bottom right is noise), after lossy coding (and, from 10 bits,
    # videoconvert's dithering).
    assert np.abs(frame[:160].astype(int) - expected[:160]).mean() < 5


@pytest.mark.parametrize("fmt", ["GRAY8", "Y444"])
def test_formats_the_reader_cannot_convert_halt_it(fmt, logs):
    with LiveFeed("x", latency=0, runtime_options={},
                  pipeline_str=f"{source(fmt, 64, 48)} ! identity name={{url}} ! appsink name=main_sink") as feed:
        assert wait_for(lambda: any(f"unsupported color format: {fmt}" in r.getMessage() for r in logs.records))
        assert feed.latest_frame is None
        assert wait_for(lambda: feed.status in (StreamStatus.HALTED, StreamStatus.INITIALIZING))


# Kr and Kb of each matrix; the colorimetry strings name the matrix and the range.
KR_KB = {"bt601": (0.299, 0.114), "bt709": (0.2126, 0.0722), "bt2020": (0.2627, 0.0593), "smpte240m": (0.212, 0.087)}
COLORIMETRY = {("bt601", "limited"): "bt601", ("bt709", "limited"): "bt709", ("bt2020", "limited"): "bt2020",
               ("bt601", "full"): "1:4:0:0", ("bt709", "full"): "1:3:0:0", ("bt2020", "full"): "1:6:0:0",
               ("smpte240m", "limited"): "2:5:0:0", ("smpte240m", "full"): "1:5:0:0"}


def picture_planes(matrix, full_range, width, height, seed=7):
    """Y, U and V planes (4:2:0): the top half saturated colours (the RGB cube's corners and the chroma
    extremes) in random 2x2 blocks, the bottom half random samples over the whole 0-255 range."""
    rng = np.random.default_rng(seed)
    kr, kb = KR_KB[matrix]
    corners = np.array([[r, g, b] for r in (0, 1) for g in (0, 1) for b in (0, 1)], float)
    luma = corners @ [kr, 1 - kr - kb, kb]
    pb, pr = (corners[:, 2] - luma) / (2 * (1 - kb)), (corners[:, 0] - luma) / (2 * (1 - kr))
    y_scale, c_scale, y_offset = (255, 255, 0) if full_range else (219, 224, 16)
    colours = np.rint(np.stack([y_offset + y_scale * luma, 128 + c_scale * pb, 128 + c_scale * pr], 1))
    extremes = np.array([[y, u, v] for y in (16, 128, 235) for u in (0, 16, 240, 255) for v in (0, 16, 240, 255)])
    colours = np.concatenate([colours, extremes]).astype(np.uint8)

    ch, cw = (height + 1) // 2, (width + 1) // 2
    blocks = colours[rng.integers(0, len(colours), (ch, cw))]
    y = np.repeat(np.repeat(blocks[..., 0], 2, 0), 2, 1)[:height, :width].copy()
    u, v = blocks[..., 1].copy(), blocks[..., 2].copy()
    y[height // 2:] = rng.integers(0, 256, y[height // 2:].shape)
    u[ch // 2:] = rng.integers(0, 256, u[ch // 2:].shape)
    v[ch // 2:] = rng.integers(0, 256, v[ch // 2:].shape)
    return y, u, v


def upsampled(chroma, width, height, filtered):
    """Full-size chroma: each sample repeated over its 2x2 block, or (filtered) interpolated between
    the samples around each pixel with weights 3:1 on each axis, the nearest sample at the edges."""
    if not filtered:
        return np.repeat(np.repeat(chroma.astype(float), 2, 0), 2, 1)[:height, :width]

    def taps(size, samples):
        near = np.arange(size) // 2
        far = np.clip(np.where(np.arange(size) % 2, near + 1, near - 1), 0, samples - 1)
        return near, far

    rows_near, rows_far = taps(height, chroma.shape[0])
    cols_near, cols_far = taps(width, chroma.shape[1])
    c = chroma.astype(float)
    vertical = 0.75 * c[rows_near] + 0.25 * c[rows_far]
    return 0.75 * vertical[:, cols_near] + 0.25 * vertical[:, cols_far]


def reference_bgr(y, u, v, matrix, full_range, filtered):
    """The BGR picture computed in floating point, rounded once at the end."""
    height, width = y.shape
    kr, kb = KR_KB[matrix]
    y_scale, c_scale, y_offset = (255, 255, 0) if full_range else (219, 224, 16)
    luma = (y.astype(float) - y_offset) / y_scale
    pb = (upsampled(u, width, height, filtered) - 128) / c_scale
    pr = (upsampled(v, width, height, filtered) - 128) / c_scale
    red = luma + 2 * (1 - kr) * pr
    blue = luma + 2 * (1 - kb) * pb
    green = (luma - kr * red - kb * blue) / (1 - kr - kb)
    return np.rint(np.clip(np.stack([blue, green, red], -1) * 255, 0, 255)).astype(int)


def write_raw_frame(path, fmt, y, u, v):
    """Writes the planes with padded rows (filled with 0xff) and returns rawvideoparse's layout properties."""
    height, width = y.shape
    ch, cw = u.shape
    chroma = [u, v] if fmt == "I420" else [np.stack([u, v], -1).reshape(ch, 2 * cw)]
    planes = [y] + chroma
    strides = [plane.shape[1] + 7 for plane in planes]
    data, offsets = b"", []
    for plane, stride in zip(planes, strides):
        padded = np.full((plane.shape[0], stride), 0xff, np.uint8)
        padded[:, :plane.shape[1]] = plane
        offsets.append(len(data))
        data += padded.tobytes()
    path.write_bytes(data)
    as_array = lambda values: "<" + ",".join(map(str, values)) + ">"  # noqa: E731
    return (f"plane-strides=\"{as_array(strides)}\" plane-offsets=\"{as_array(offsets)}\" "
            f"frame-size={len(data)}")


def conversion_error(frame, expected):
    """The 99.9th percentile and the largest per-channel difference, in levels."""
    difference = np.abs(frame.astype(int) - expected)
    return float(np.percentile(difference, 99.9)), int(difference.max())


@pytest.mark.parametrize("fmt", ["I420", "NV12"])
@pytest.mark.parametrize("width,height", [(322, 242), (331, 243)])
@pytest.mark.parametrize("matrix", ["bt601", "bt709", "bt2020", "smpte240m"])
@pytest.mark.parametrize("color_range", ["limited", "full"])
def test_colours_match_a_floating_point_reference(fmt, width, height, matrix, color_range, tmp_path):
    full_range = color_range == "full"
    y, u, v = picture_planes(matrix, full_range, width, height)
    layout = write_raw_frame(tmp_path / "frame.yuv", fmt, y, u, v)
    caps = (f"rawvideoparse format={fmt.lower()} width={width} height={height} framerate=10/1 "
            f"colorimetry={COLORIMETRY[matrix, color_range]} {layout}")
    with LiveFeed(str(tmp_path / "frame.yuv"), latency=0, runtime_options={},
                  pipeline_str=f"filesrc location={{url}} ! {caps} ! appsink name=main_sink") as feed:
        assert feed.new_frame_event.wait(10)
        frame = feed.latest_frame[1]
    # The reader repeats each chroma sample of I420 over its 2x2 block and interpolates NV12's.
    expected = reference_bgr(y, u, v, matrix, full_range, filtered=fmt == "NV12")
    assert frame.shape == expected.shape
    p999, largest = conversion_error(frame, expected)
    assert p999 <= 2 and largest <= 3, (p999, largest)
