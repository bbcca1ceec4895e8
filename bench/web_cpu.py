#!/usr/bin/env python3
"""CPU that `vantle watch --web` spends on its page, with 8 streams of the demo camera (640x360).

    .venv/bin/python bench/web_cpu.py                 # 20 s per phase
    .venv/bin/python bench/web_cpu.py --seconds 10 --streams 4

The demo camera runs in a process of its own, so its encoder is not counted. One `vantle watch
--web` process reads every stream; its CPU time (user + system, /proc/PID/stat) is measured over
each phase:

    no page      plain `vantle watch` without --web, for comparison
    no viewer    the page's server is up, nobody looks
    page         the page open in headless Chromium: every tile at 5 pictures per second
    mjpeg        one /streams/<n>.mjpeg?fps=5 client per stream (plain sockets, in this process)

Chromium's own CPU is not counted: it is the viewer's, not vantle's.
"""

import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
import urllib.request

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


def read_line(proc, pattern, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        match = re.search(pattern, line)
        if match:
            return match
    raise SystemExit(f"no line matching {pattern!r}")


def frame_numbers(url):
    return sum(stream["frame_number"] for stream in json.load(urllib.request.urlopen(url + "api/streams", timeout=5)))


def measure(pid, seconds, url, streams):
    """(share of one core, delivered frames per second per stream) over ``seconds``."""
    start_cpu, start, start_frames = cpu_seconds(pid), time.monotonic(), frame_numbers(url)
    time.sleep(seconds)
    elapsed = time.monotonic() - start
    return (cpu_seconds(pid) - start_cpu) / elapsed, (frame_numbers(url) - start_frames) / elapsed / streams


def plain_watch(vantle, camera_url, args):
    """CPU share of `vantle watch` without the page (its fps from its own plain lines)."""
    watch = subprocess.Popen([*vantle, "watch", "--plain", *[camera_url] * args.streams],
                             stdout=subprocess.PIPE, text=True)
    rates = []

    def collect():
        for line in watch.stdout:
            match = re.search(r" fps=([0-9.]+) ", line)
            if match and line.startswith("t=") and float(line.split()[0][2:]) > 5:
                rates.append(float(match.group(1)))

    reader = threading.Thread(target=collect, daemon=True)
    reader.start()
    try:
        time.sleep(5)
        start_cpu, start = cpu_seconds(watch.pid), time.monotonic()
        time.sleep(args.seconds)
        share = (cpu_seconds(watch.pid) - start_cpu) / (time.monotonic() - start)
    finally:
        watch.send_signal(2)
        watch.wait(20)
    reader.join(5)
    return share, sum(rates) / len(rates) if rates else 0.0


def mjpeg_viewers(url, count, stop):
    host, port = re.match(r"http://(.+):(\d+)/", url).groups()
    received = [0] * count

    def view(index):
        with socket.create_connection((host, int(port)), timeout=10) as sock:
            sock.sendall(f"GET /streams/{index}.mjpeg?fps=5 HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
            while not stop.is_set():
                received[index] += len(sock.recv(1 << 16))

    threads = [threading.Thread(target=view, args=(index,), daemon=True) for index in range(count)]
    for thread in threads:
        thread.start()
    return threads, received


def open_page(url):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1600,1000"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
    driver.get(url)
    return driver


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=20.0, help="length of each phase")
    parser.add_argument("--streams", type=int, default=8)
    args = parser.parse_args()

    vantle = [sys.executable, "-m", "vantle"]
    camera = subprocess.Popen([*vantle, "demo-camera"], stdout=subprocess.PIPE, text=True)
    watch = None
    try:
        camera_url = read_line(camera, r"^(rtsp://\S+)").group(1)
        results = {"no page": plain_watch(vantle, camera_url, args)}
        watch = subprocess.Popen([*vantle, "watch", "--web", "--plain", *[camera_url] * args.streams],
                                 stdout=subprocess.PIPE, text=True)
        url = read_line(watch, r"^web page: (\S+)").group(1)
        threading.Thread(target=lambda: [None for _ in watch.stdout], daemon=True).start()  # drain
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            streams = json.load(urllib.request.urlopen(url + "api/streams", timeout=5))
            if all(stream["status"] == "streaming" for stream in streams):
                break
            time.sleep(0.5)
        time.sleep(3)  # past the first frames

        results["no viewer"] = measure(watch.pid, args.seconds, url, args.streams)
        driver = open_page(url)
        try:
            time.sleep(3)
            results["page"] = measure(watch.pid, args.seconds, url, args.streams)
            shown = driver.execute_script("return document.querySelectorAll('.tile img[src]').length")
        finally:
            driver.quit()
        time.sleep(2)
        stop = threading.Event()
        threads, received = mjpeg_viewers(url, args.streams, stop)
        time.sleep(2)
        results["mjpeg"] = measure(watch.pid, args.seconds, url, args.streams)
        stop.set()
        for thread in threads:
            thread.join(5)
        print(f"{args.streams} streams of the demo camera (640x360 at 25 fps), {args.seconds:g} s per phase, "
              f"{os.cpu_count()} CPUs; the page showed {shown} pictures, the MJPEG clients got "
              f"{sum(received) / 1e6:.1f} MB")
        for phase, (share, fps) in results.items():
            print(f"{phase:<10} {share * 100:6.1f} % of one core   {fps:5.1f} fps delivered per stream")
        idle = results["no viewer"][0]
        print(f"page costs {(results['page'][0] - idle) * 100:.1f} % of one core, "
              f"MJPEG {(results['mjpeg'][0] - idle) * 100:.1f} %")
    finally:
        for proc in (watch, camera):
            if proc is not None and proc.poll() is None:
                proc.send_signal(2)
                try:
                    proc.wait(20)
                except subprocess.TimeoutExpired:
                    proc.kill()


if __name__ == "__main__":
    main()
