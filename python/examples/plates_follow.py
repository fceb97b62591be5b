"""Prints licence plates as the server recognises them, optionally saving a JPEG
picture of each.

    python3 plates_follow.py HOST[:PORT] [PASSWORD] [--seconds N] [--pictures FOLDER]
"""

from __future__ import annotations

import argparse
from pathlib import Path

import orv_sdk


def main() -> int:
    parser = argparse.ArgumentParser(description="Follow recognised licence plates")
    parser.add_argument("server", help="HOST[:PORT]")
    parser.add_argument("password", nargs="?", default="")
    parser.add_argument("--seconds", type=float, default=None, help="stop after this long (default: never)")
    parser.add_argument("--pictures", type=Path, default=None, help="save a JPEG of every plate here")
    args = parser.parse_args()
    host, _, port = args.server.partition(":")
    if args.pictures:
        args.pictures.mkdir(parents=True, exist_ok=True)
    with orv_sdk.Client() as client:
        client.add_server(host, int(port or 5001), password=args.password)
        client.connect()
        try:
            for plate in client.follow_plates(picture="jpeg" if args.pictures else None, timeout=args.seconds):
                line = f"{plate.time:%Y-%m-%d %H:%M:%S.%f}"[:-3] + f"  camera {plate.camera}  {plate.number}"
                if plate.picture is not None and args.pictures:
                    path = args.pictures / f"plate-{plate.camera}-{plate.time:%Y%m%dT%H%M%S%f}.jpg"
                    path.write_bytes(plate.picture.image)  # type: ignore[arg-type]
                    line += f"  -> {path}"
                print(line, flush=True)
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
