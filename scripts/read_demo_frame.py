"""Reads one frame from the demo camera with the installed vantle; exits non-zero without one.

    python scripts/read_demo_frame.py [seconds to wait, default 60]

Run from outside the checkout, so that `vantle` is the installed package. It prints where vantle
and PyGObject were imported from, and the frame's shape.
"""

import sys


def main(wait_s):
    import gi

    from vantle import loop_host
    from vantle.demo_camera import DemoCamera
    from vantle.live_feed import LiveFeed

    import vantle

    print(f"vantle from {vantle.__file__}; PyGObject {gi.__version__} from {gi.__file__}", flush=True)
    loop_host.start()
    with DemoCamera() as camera, LiveFeed(camera.url, runtime_options={}) as feed:
        if not feed.new_frame_event.wait(wait_s):
            print(f"no frame from {camera.url} within {wait_s} s; status {feed.status}", file=sys.stderr)
            return 1
        received_at, frame = feed.latest_frame
        print(f"frame {frame.shape} {frame.dtype} received at {received_at:.3f} from {camera.url}")
    return 0


if __name__ == "__main__":
    sys.exit(main(float(sys.argv[1]) if len(sys.argv) > 1 else 60.0))
