"""``vantle record URL --seconds N OUT``: the stream's own video for N seconds, without re-encoding."""

import time

from vantle.cli.common import CommandError, StopSignals, about, close_feeds, feed_errors, redact, set_up_logging

FIRST_KEYFRAME_TIMEOUT = 20.0  # seconds for the stream to open and send its first keyframe


def _seconds(text):
    import argparse

    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError("must be a positive number of seconds")
    return value


def add_record_command(commands, add_stream_options):
    record = commands.add_parser(
        "record", help="save N seconds of a stream to an MP4 or Matroska file, without re-encoding",
        description="Opens one stream, waits for its first keyframe and writes its own encoded video from there "
                    "for N seconds to OUT (.mp4, or .mkv for Matroska); next to it OUT.json lists the frames.")
    record.add_argument("url", metavar="URL", help="rtsp://, http:// or https:// stream URL")
    record.add_argument("--seconds", type=_seconds, required=True, metavar="N", help="how long to record")
    record.add_argument("out", metavar="OUT", help="the file to write (.mp4 or .mkv)")
    add_stream_options(record)
    record.set_defaults(handler=cmd_record)


def cmd_record(args):
    from vantle import loop_host
    from vantle.live_feed import ClipError, LiveFeed

    if args.pipeline:
        raise CommandError("--pipeline cannot be recorded: clips come from rtsp, http and https streams")
    loop_host.start()
    set_up_logging(args.log_level)
    try:
        feed = LiveFeed(args.url, latency=args.latency, runtime_options={}, proxied=args.tcp, keep_encoded=2.0)
    except feed_errors() as error:
        raise CommandError(about(args.url, error)) from None
    with StopSignals() as stop:
        try:
            deadline = time.monotonic() + FIRST_KEYFRAME_TIMEOUT
            while not feed.encoded_buffer()["gops"]:
                if stop.sleep(0.05):
                    raise CommandError("interrupted before the first keyframe")
                if time.monotonic() > deadline:
                    last = feed.stats()["last_error"]
                    raise CommandError(f"{redact(args.url)}: no keyframe within {FIRST_KEYFRAME_TIMEOUT:g} s"
                                       + (f" (last error: {redact(last)})" if last else ""))
            try:
                clip = feed.save_clip(args.out, before=0.0, after=args.seconds)
                while not clip.done and not stop.requested.is_set():
                    stop.sleep(0.1)
                clip.wait()
            except (ClipError, OSError) as error:
                raise CommandError(f"cannot write {args.out}: {error}") from None
        finally:
            close_feeds([feed])
    notes = "".join(f"; {note}" for note in clip.notes)
    print(f"{clip.path}: {clip.duration:.2f} s, {clip.frames} frames, {clip.codec} {clip.width}x{clip.height}, "
          f"frames {clip.first_frame_number}-{clip.last_frame_number}{notes}")
    return 0
