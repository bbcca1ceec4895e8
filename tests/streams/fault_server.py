"""A TCP server that misbehaves in one chosen way, for fault tests.

Run as ``python tests/streams/fault_server.py --mode MODE --port 0``: once listening it prints
its base URL (``tcp://127.0.0.1:PORT``) as one line on stdout; clients use it with any scheme
(``rtsp://`` or ``http://``). It exits after ``--lifetime`` seconds or when its parent dies.
Every connection gets the same treatment, see ``MODES``.
"""

import argparse
import os
import socketserver
import struct
import sys
import threading
import time

HOST = "127.0.0.1"
SDP_H264 = ("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=fault\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
            "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:stream=0\r\n")
SDP_BOGUS = SDP_H264.replace("H264/90000", "X-BOGUS/90000")
# Several megabytes of attributes around an ordinary video description.
SDP_HUGE = SDP_H264 + "".join(f"a=x-padding-{i}:{'z' * 100}\r\n" for i in range(40000))
# One recording shared by the modes that send real MPEG-TS, made on first use.
_recording = None
_recording_lock = threading.Lock()


def ts_recording():
    """Two seconds of 320x240 H.264 in MPEG-TS, as bytes."""
    global _recording
    with _recording_lock:
        if _recording is None:
            import gi

            gi.require_version("Gst", "1.0")
            gi.require_version("GstApp", "1.0")
            from gi.repository import Gst, GstApp  # noqa: F401  (GstApp adds the appsink methods)

            Gst.init(None)
            pipeline = Gst.parse_launch(
                "videotestsrc num-buffers=50 pattern=smpte ! video/x-raw,format=I420,width=320,height=240,"
                "framerate=25/1 ! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=25 ! "
                "h264parse config-interval=-1 ! mpegtsmux ! appsink name=out sync=false")
            sink = pipeline.get_by_name("out")
            pipeline.set_state(Gst.State.PLAYING)
            chunks = []
            while (sample := sink.try_pull_sample(5 * Gst.SECOND)) is not None:
                buf = sample.get_buffer()
                chunks.append(buf.extract_dup(0, buf.get_size()))
            pipeline.set_state(Gst.State.NULL)
            _recording = b"".join(chunks)
        return _recording


class Conversation:
    """Reads RTSP requests from one connection and writes replies under a lock (a sender thread
    may interleave RTP data on the same socket)."""

    def __init__(self, sock):
        self.sock, self.buffer, self.lock = sock, b"", threading.Lock()

    def request(self):
        """(method, headers) of the next request, or None once the client is gone."""
        while b"\r\n\r\n" not in self.buffer:
            data = self.sock.recv(65536)
            if not data:
                return None
            self.buffer += data
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        body_length = int(headers.get("content-length", "0") or 0)
        while len(self.buffer) < body_length:
            data = self.sock.recv(65536)
            if not data:
                return None
            self.buffer += data
        self.buffer = self.buffer[body_length:]
        return lines[0].split(" ", 1)[0], headers

    def send(self, data):
        with self.lock:
            self.sock.sendall(data)

    def reply(self, headers, status="200 OK", extra="", body=b"", length=None):
        length = len(body) if length is None else length
        head = f"RTSP/1.0 {status}\r\nCSeq: {headers.get('cseq', '0')}\r\n{extra}"
        if length:
            head += f"Content-Length: {length}\r\n"
        self.send(head.encode() + b"\r\n" + body)


PUBLIC = "Public: OPTIONS, DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN, GET_PARAMETER, SET_PARAMETER\r\n"
SESSION = "Session: 1234abcd;timeout=60\r\n"


def rtsp_conversation(sock, describe):
    """Answers OPTIONS as usual and DESCRIBE through `describe(conversation, headers)`;
    everything after DESCRIBE gets an error."""
    talk = Conversation(sock)
    while (request := talk.request()) is not None:
        method, headers = request
        if method == "OPTIONS":
            talk.reply(headers, extra=PUBLIC)
        elif method == "DESCRIBE":
            describe(talk, headers)
        else:
            talk.reply(headers, "455 Method Not Valid In This State")


def sdp_reply(sdp):
    return lambda talk, headers: talk.reply(headers, extra="Content-Type: application/sdp\r\n", body=sdp.encode())


def content_length(value):
    """DESCRIBE answered with Content-Length `value` and a few bytes of SDP, then nothing more."""
    def describe(talk, headers):
        talk.send(f"RTSP/1.0 200 OK\r\nCSeq: {headers.get('cseq', '0')}\r\nContent-Type: application/sdp\r\n"
                  f"Content-Length: {value}\r\n\r\n".encode() + SDP_H264.encode()[:40])
    return lambda sock: rtsp_conversation(sock, describe)


def rtsp_bogus_codec(sock):
    """A complete session (RTP interleaved over the RTSP connection) whose one stream has a codec
    that nothing can depayload; RTP packets flow after PLAY."""
    talk = Conversation(sock)
    playing = threading.Event()

    def send_rtp():
        seq, stamp = 0, 0
        while True:
            packet = struct.pack("!BBHII", 0x80, 0x80 | 96, seq & 0xFFFF, stamp & 0xFFFFFFFF, 0x1234ABCD)
            packet += os.urandom(200)
            talk.send(struct.pack("!cBH", b"$", 0, len(packet)) + packet)
            seq, stamp = seq + 1, stamp + 3600
            time.sleep(0.04)

    while (request := talk.request()) is not None:
        method, headers = request
        if method == "OPTIONS":
            talk.reply(headers, extra=PUBLIC)
        elif method == "DESCRIBE":
            sdp_reply(SDP_BOGUS)(talk, headers)
        elif method == "SETUP" and "TCP" not in headers.get("transport", ""):
            talk.reply(headers, "461 Unsupported Transport")
        elif method == "SETUP":
            talk.reply(headers, extra=SESSION + "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n")
        elif method == "PLAY":
            talk.reply(headers, extra=SESSION)
            if not playing.is_set():
                playing.set()
                threading.Thread(target=guarded(send_rtp), daemon=True).start()
        else:
            talk.reply(headers, extra=SESSION)


def rtsp_random(sock):
    """Every request is answered with random bytes."""
    talk = Conversation(sock)
    while talk.request() is not None:
        talk.send(os.urandom(4096))


def rtsp_unauthorized(sock):
    """Every request, with or without credentials, is refused with 401."""
    talk = Conversation(sock)
    while (request := talk.request()) is not None:
        talk.reply(request[1], "401 Unauthorized", extra='WWW-Authenticate: Basic realm="cameras"\r\n')


def silent(sock):
    """Accepts, reads whatever comes, never answers."""
    while sock.recv(65536):
        pass


HTTP_OK = b"HTTP/1.0 200 OK\r\nContent-Type: video/mp2t\r\nCache-Control: no-cache\r\n\r\n"


def http_request(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            return False
        data += chunk
    return True


def http_random(sock):
    """200 OK, then random bytes (about 256 KiB/s) for as long as the client reads."""
    if http_request(sock):
        sock.sendall(HTTP_OK)
        while True:
            sock.sendall(os.urandom(8192))
            time.sleep(0.03)


def http_random_head(sock):
    """Random bytes where the status line and headers belong, then the connection closes."""
    if http_request(sock):
        sock.sendall(os.urandom(16384))


def http_truncated(sock):
    """200 OK and the first 60 % of a real recording, cut in the middle of a TS packet; then the
    connection closes."""
    recording = ts_recording()
    if http_request(sock):
        cut = len(recording) * 6 // 10 // 188 * 188 + 100
        sock.sendall(HTTP_OK + recording[:cut])


def http_trickle(sock):
    """200 OK, then a real recording at one byte per second."""
    recording = ts_recording()
    if http_request(sock):
        sock.sendall(HTTP_OK)
        for byte in recording:
            sock.sendall(bytes([byte]))
            time.sleep(1)


MODES = {
    "silent": silent,
    "rtsp-random": rtsp_random,
    "rtsp-huge-length": content_length("99999999999999999999"),
    "rtsp-negative-length": content_length("-1"),
    "rtsp-bogus-codec": rtsp_bogus_codec,
    "rtsp-huge-sdp": lambda sock: rtsp_conversation(sock, sdp_reply(SDP_HUGE)),
    "rtsp-unauthorized": rtsp_unauthorized,
    "http-random": http_random,
    "http-random-head": http_random_head,
    "http-truncated": http_truncated,
    "http-trickle": http_trickle,
}


def guarded(target):
    """Runs `target`, ending quietly when the client goes away."""
    def run(*args):
        try:
            target(*args)
        except OSError:
            pass
    return run


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--mode", choices=sorted(MODES), required=True)
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--lifetime", type=float, default=600.0, help="seconds before exiting")
    args = parser.parse_args(argv)

    serve = guarded(MODES[args.mode])

    class Handler(socketserver.BaseRequestHandler):
        def handle(self):
            serve(self.request)

    if args.mode in ("http-truncated", "http-trickle"):
        ts_recording()  # before listening, so that the first client does not wait for it
    try:
        server = Server((HOST, args.port), Handler)
    except OSError as exc:
        sys.exit(f"fault_server: cannot listen on {HOST}:{args.port}: {exc}")
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(f"tcp://{HOST}:{server.server_address[1]}", flush=True)

    deadline = time.monotonic() + args.lifetime
    parent = os.getppid()
    try:
        while time.monotonic() < deadline and os.getppid() == parent:
            time.sleep(0.5)
    except KeyboardInterrupt:
        pass
    os._exit(0)


if __name__ == "__main__":
    main()
