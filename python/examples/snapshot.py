"""Saves the newest picture of every active camera: PNG through Pillow when it is
installed (python3-pil), else the JPEG as the server sent it.

    python3 snapshot.py HOST[:PORT] [PASSWORD] [FOLDER]
"""

from __future__ import annotations

import sys
from pathlib import Path

import orv_sdk

try:
    from PIL import Image
except ImportError:  # JPEG files need no imaging library
    Image = None


def main() -> int:
    if len(sys.argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    host, _, port = sys.argv[1].partition(":")
    password = sys.argv[2] if len(sys.argv) > 2 else ""
    folder = Path(sys.argv[3] if len(sys.argv) > 3 else "snapshots")
    folder.mkdir(parents=True, exist_ok=True)
    failures = 0
    with orv_sdk.Client() as client:
        client.add_server(host, int(port or 5001), password=password)
        server = client.connect()[0]
        if server.state != orv_sdk.ServerState.CONNECTED:
            print(f"{server.address}: {server.state.name if isinstance(server.state, orv_sdk.ServerState) else server.state}",
                  file=sys.stderr)
            return 1
        for camera in client.cameras():
            if not camera.active:
                continue
            try:
                if Image is not None:
                    frame = client.frame(camera.number, "bgr", wait=3)
                    path = folder / f"camera-{camera.number}.png"
                    Image.fromarray(frame.image[:, :, ::-1]).save(path)  # BGR -> RGB
                else:
                    frame = client.frame(camera.number, "jpeg", wait=3)
                    path = folder / f"camera-{camera.number}.jpg"
                    path.write_bytes(frame.image)
            except orv_sdk.OrvError as error:
                print(f"camera {camera.number} ({camera.name}): {error}", file=sys.stderr)
                failures += 1
                continue
            print(f"camera {camera.number} ({camera.name}): {frame.width}x{frame.height} "
                  f"{frame.time.isoformat()} -> {path}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
