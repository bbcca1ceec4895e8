"""The frame code: a clip frame's index, painted so that it survives H.264.

The top 80 pixel rows of a 1280-wide frame hold 16 blocks of 80x80 pixels,
black for 0 and white for 1, most significant bit on the left. Bits 15..8 are
the frame's index in the clip, bits 7..0 its bitwise complement, a check that
rejects a misread code.

Only numpy here: the reader processes import this module, and must not load
GStreamer's libraries next to OpenCV's or PyAV's own FFmpeg.
"""

import numpy as np

WIDTH, HEIGHT = 1280, 720
CODE_BITS = 16
CODE_BLOCK = WIDTH // CODE_BITS  # 80 px
_WEIGHTS = 1 << np.arange(CODE_BITS - 1, -1, -1)


def code_for(index):
    """The 16-bit code painted into clip frame ``index`` (0..255)."""
    return ((index & 0xFF) << 8) | (~index & 0xFF)


def paint_code(y_plane, index):
    """Paint the code of ``index`` into an I420 luma plane (in place)."""
    code = code_for(index)
    for bit in range(CODE_BITS):
        on = (code >> (CODE_BITS - 1 - bit)) & 1
        x0 = bit * CODE_BLOCK
        y_plane[0:CODE_BLOCK, x0:x0 + CODE_BLOCK] = 235 if on else 16


def decode_index(frame):
    """Clip index painted into a packed BGR frame (h, w, 3), or -1 if unreadable.

    Averages the green channel over the centre 16x16 pixels of each block;
    costs a few tens of microseconds.
    """
    if frame is None or frame.ndim != 3 or frame.shape[0] < CODE_BLOCK or frame.shape[1] < WIDTH:
        return -1
    lo, hi = CODE_BLOCK // 2 - 8, CODE_BLOCK // 2 + 8
    patch = frame[lo:hi, :WIDTH, 1].reshape(hi - lo, CODE_BITS, CODE_BLOCK)[:, :, lo:hi]
    bits = patch.mean(axis=(0, 2)) > 128
    code = int(np.dot(bits, _WEIGHTS))
    index, check = code >> 8, code & 0xFF
    if index ^ check != 0xFF:
        return -1
    return index
