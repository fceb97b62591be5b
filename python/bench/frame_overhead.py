"""client.frame(camera, "bgr") beside the same ORV_VideoGetFrame loop in C, against
one orv-sim with four 1920x1080 JPEG cameras, in alternating rounds.

    python3 python/bench/frame_overhead.py [rounds] [seconds per round]

Needs a Release build (build/release) and a C compiler; the C loop is compiled from
frame_loop.c into a temporary folder. Both sides ask the cameras round robin and
count delivered pictures; the ratio is Python's time per picture over C's (medians).
"""

from __future__ import annotations

import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import orv_sdk

ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / "build" / "release"
CAMERAS = [1, 2, 3, 4]


def main() -> int:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 2.0
    with tempfile.TemporaryDirectory() as tmp:
        loop = Path(tmp) / "frame_loop"
        subprocess.run(["cc", "-O2", "-o", str(loop), str(Path(__file__).with_name("frame_loop.c")),
                        f"-I{ROOT / 'include'}", f"-L{BUILD / 'src'}", "-lOrvSdk",
                        f"-Wl,-rpath,{BUILD / 'src'}"], check=True)
        config = Path(tmp) / "sim.json"
        camera = {"kind": "jpeg", "width": 1920, "height": 1080, "fps": 100}
        config.write_text(json.dumps({"servers": [{"cameras": [camera] * len(CAMERAS)}]}))
        sim = subprocess.Popen([str(BUILD / "sim" / "orv-sim"), "--port", "0", "--config", str(config)],
                               stdout=subprocess.PIPE, text=True)
        try:
            port = int(sim.stdout.readline().split(":")[1].split()[0])  # type: ignore[union-attr]
            c_ms, py_ms = [], []
            with orv_sdk.Client() as client:
                client.add_server("127.0.0.1", port)
                client.connect()
                for number in CAMERAS:
                    client.frame(number, "bgr", wait=2)
                for _ in range(rounds):
                    out = subprocess.run([str(loop), str(port), str(seconds), "3", *map(str, CAMERAS)],
                                         check=True, capture_output=True, text=True).stdout.split()
                    c_ms.append(float(out[3]) * 1000 / int(out[1]))
                    pictures, start, call = 0, time.perf_counter(), 0
                    while time.perf_counter() - start < seconds:
                        try:
                            client.frame(CAMERAS[call % len(CAMERAS)], "bgr", wait=0)
                            pictures += 1
                        except orv_sdk.NoFrame:
                            pass
                        call += 1
                    py_ms.append((time.perf_counter() - start) * 1000 / pictures)
                    print(f"round: C {c_ms[-1]:.3f} ms, Python {py_ms[-1]:.3f} ms per picture", flush=True)
        finally:
            sim.terminate()
            sim.wait()
    c, py = statistics.median(c_ms), statistics.median(py_ms)
    ratios = [p / q for p, q in zip(py_ms, c_ms)]
    print(f"median per 1920x1080 BGR picture: C {c:.3f} ms, Python {py:.3f} ms, ratio {py / c:.3f}; "
          f"per-round ratios median {statistics.median(ratios):.3f}, range {min(ratios):.3f}-{max(ratios):.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
