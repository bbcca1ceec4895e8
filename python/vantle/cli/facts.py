"""What a stream is, as text, from the reader's stats(): source, decoder, size, durations."""


def source_text(stats):
    """"25->20" for a limited 25 fps source, "15" for an unlimited one, "dynamic", or "-"."""
    source = stats.get("source") or {}
    rate = source.get("framerate")
    if rate is None:
        return "-"
    shown = "dynamic" if rate == 0 else f"{rate:g}"
    return f"{shown}->{stats.get('max_framerate') or '?'}" if stats.get("limited") else shown


def decoder_text(stats):
    decoder = stats.get("decoder")
    if not decoder:
        return "-"
    return decoder + (" [VA-API]" if stats.get("hardware") else "")


def delay_text(stats):
    """The stream's delay (receive minus capture time, from the sender's reports), or "-"."""
    delay = stats.get("capture_offset_ms")
    return "-" if delay is None else f"{delay:.0f}ms"


def decoding_text(stats):
    if not stats.get("decoder"):
        return "-"
    return "VA-API" if stats.get("hardware") else "software"


def limited_text(stats):
    if stats.get("source") is None:
        return "-"
    return "yes" if stats.get("limited") else "no"


def size_text(stats, frame=None):
    """Width x height of the delivered frames (or of the source before the first frame)."""
    if frame is not None:
        return f"{frame.shape[1]}x{frame.shape[0]}"
    source = stats.get("source") or {}
    if source.get("width") and source.get("height"):
        return f"{source['width']}x{source['height']}"
    return "-"


def probe_rows(stats, frame):
    """(label, value) rows that ``vantle probe`` prints."""
    source = stats.get("source") or {}
    rate = source.get("framerate")
    if rate is None:
        framerate = "unknown"
    elif rate == 0:
        framerate = "dynamic"
    else:
        framerate = f"{rate:g} fps"
    if stats.get("source") is None:
        limited = "unknown"
    else:
        limited = f"yes (to {stats.get('max_framerate') or '?'} fps)" if stats.get("limited") else "no"
    if not stats.get("decoder"):
        hardware = "-"
    else:
        hardware = "yes (VA-API)" if stats.get("hardware") else "no (software)"
    first = stats.get("first_frame_after")
    return [
        ("url", stats["url"]),
        ("first frame", "-" if first is None else f"{first:.2f} s"),
        ("resolution", size_text(stats, frame)),
        ("codec", source.get("codec") or "unknown"),
        ("source framerate", framerate),
        ("limited", limited),
        ("depayloader", stats.get("depayloader") or "-"),
        ("decoder", stats.get("decoder") or "unknown"),
        ("hardware decoding", hardware),
        ("transport", stats.get("transport") or "-"),
    ]


def duration_text(seconds):
    """"42s", "2m30s", "1h05m"."""
    seconds = int(seconds)
    if seconds < 60:
        return f"{seconds}s"
    if seconds < 3600:
        return f"{seconds // 60}m{seconds % 60:02d}s"
    return f"{seconds // 3600}h{seconds % 3600 // 60:02d}m"
