#!/usr/bin/env python3
"""The gateway's page in a real browser: orv-sim and orv-gateway as a person starts them,
headless chromium loads / and takes a screenshot, and the screenshot must show the camera
tiles with pictures in them, checked by pixels.

Exit 0 pass, 1 fail, 77 skipped (only when chromium is missing or cannot start)."""
import argparse
import fcntl
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIP = 77
PAGE_BACKGROUNDS = [(0x1B, 0x1D, 0x21), (0x0C, 0x0D, 0x0F), (0x11, 0x13, 0x16)]


def read_lines(proc, pattern, count, timeout):
    found, deadline = [], time.time() + timeout
    while len(found) < count and time.time() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        match = re.search(pattern, line)
        if match:
            found.append(match)
    return found


def picture_tiles(png_path):
    """Large connected areas of pixels that are neither page background nor flat: the
    camera pictures. Returns (width, height, colour spread) of each."""
    import numpy as np
    from PIL import Image

    image = np.asarray(Image.open(png_path).convert("RGB")).astype(np.int16)
    # 2x2 cells keep the 10-pixel gaps between tiles while cutting the work by four.
    cells = image[: image.shape[0] // 2 * 2, : image.shape[1] // 2 * 2]
    cells = cells.reshape(cells.shape[0] // 2, 2, cells.shape[1] // 2, 2, 3).mean(axis=(1, 3))
    mask = np.ones(cells.shape[:2], dtype=bool)
    for colour in PAGE_BACKGROUNDS:
        mask &= np.abs(cells - np.array(colour)).max(axis=2) > 10
    seen = np.zeros_like(mask)
    tiles = []
    rows, cols = mask.shape
    for y0 in range(rows):
        for x0 in range(cols):
            if not mask[y0, x0] or seen[y0, x0]:
                continue
            stack, members = [(y0, x0)], []
            seen[y0, x0] = True
            while stack:
                y, x = stack.pop()
                members.append((y, x))
                for ny, nx in ((y + 1, x), (y - 1, x), (y, x + 1), (y, x - 1)):
                    if 0 <= ny < rows and 0 <= nx < cols and mask[ny, nx] and not seen[ny, nx]:
                        seen[ny, nx] = True
                        stack.append((ny, nx))
            if len(members) < 4000:  # a tile is ~320x180 pixels = 14,000 cells; text is far smaller
                continue
            ys = [m[0] for m in members]
            xs = [m[1] for m in members]
            pixels = np.array([cells[m] for m in members[:: max(1, len(members) // 2000)]])
            tiles.append(((max(xs) - min(xs) + 1) * 2, (max(ys) - min(ys) + 1) * 2, float(pixels.std())))
    return tiles


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--gateway", required=True)
    parser.add_argument("--workdir", required=True)
    args = parser.parse_args()

    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if not browser:
        print("SKIPPED: chromium is not installed (scripts/install-deps installs it)")
        return SKIP
    # The gateway runs the library, whose machine-wide named block other tests check;
    # take the lock every library user in the suite takes, so they never overlap.
    lock = open("/tmp/orv-sdk-block-tests.lock", "a+")
    fcntl.flock(lock, fcntl.LOCK_EX)
    os.makedirs(args.workdir, exist_ok=True)
    shot = os.path.join(args.workdir, "page.png")
    if os.path.exists(shot):
        os.remove(shot)

    procs = []
    try:
        sim = subprocess.Popen([args.sim, "--port", "0", "--servers", "2", "--cameras", "4"],
                               stdout=subprocess.PIPE, text=True)
        procs.append(sim)
        servers = read_lines(sim, r"listening (127\.0\.0\.1:\d+) cameras", 2, 20)
        if len(servers) != 2:
            print("FAIL: orv-sim did not start")
            return 1
        command = [args.gateway, "--listen", "127.0.0.1:0"]
        for match in servers:
            command += ["--server", match.group(1)]
        gateway = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        procs.append(gateway)
        listening = read_lines(gateway, r"listening (http://127\.0\.0\.1:\d+/)", 1, 30)
        if not listening:
            print("FAIL: orv-gateway did not start")
            return 1
        url = listening[0].group(1)
        cameras = json.load(urllib.request.urlopen(url + "api/cameras", timeout=10))["cameras"]
        active = sum(1 for c in cameras if c["active"])
        print(f"gateway at {url}, {len(cameras)} cameras, {active} active")

        def screenshot(path, page):
            # Virtual time gives the page the same 4 s however slow the machine is.
            # On a loaded machine headless chromium has now and then never let it run
            # out while a picture stream was open; such a run is stopped and tried once more.
            for attempt in (1, 2):
                # A stopped chromium's helpers may still be writing to the profile.
                with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as profile:
                    started = time.time()
                    try:
                        run = subprocess.run(
                            [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                             "--no-first-run", "--user-data-dir=" + profile, "--window-size=1280,800",
                             "--virtual-time-budget=4000", "--screenshot=" + path, page],
                            capture_output=True, text=True, timeout=100)
                    except subprocess.TimeoutExpired:
                        print(f"chromium did not finish within 100 s on {page} (attempt {attempt})")
                        continue
                    print(f"chromium ran {time.time() - started:.1f} s on {page}, exit {run.returncode}")
                    return run
            return None

        run = screenshot(shot, url)
        if run is None:
            print("FAIL: chromium did not finish in two attempts")
            return 1
        if not os.path.exists(shot):
            print("SKIPPED: chromium could not start or take a screenshot:")
            print(run.stderr[-2000:])
            return SKIP

        tiles = picture_tiles(shot)
        for width, height, spread in tiles:
            print(f"  picture area {width}x{height}, colour spread {spread:.1f}")
        pictured = [t for t in tiles if t[0] >= 200 and t[1] >= 100 and t[2] >= 8.0]
        print(f"{len(pictured)} tiles with pictures of {active} active cameras; screenshot {shot}")
        if len(pictured) < active:
            print("FAIL: not every active camera's tile shows a picture")
            return 1

        # One camera's own view: its live picture fills most of the page's width.
        view = os.path.join(args.workdir, "camera.png")
        if os.path.exists(view):
            os.remove(view)
        first = next(c["camera"] for c in cameras if c["active"])
        if screenshot(view, f"{url}#camera={first}") is None or not os.path.exists(view):
            print("FAIL: no screenshot of the camera view")
            return 1
        large = [t for t in picture_tiles(view) if t[0] >= 800 and t[1] >= 400 and t[2] >= 8.0]
        print(f"camera {first} view: {len(large)} large picture(s); screenshot {view}")
        if len(large) != 1:
            print("FAIL: the camera view shows no live picture")
            return 1
        print("PASS")
        return 0
    finally:
        for proc in reversed(procs):
            proc.terminate()
            try:
                proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                proc.kill()


if __name__ == "__main__":
    sys.exit(main())
