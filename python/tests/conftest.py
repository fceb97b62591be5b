"""orv-sim as a subprocess and one connected client for the whole run."""

from __future__ import annotations

import json
import os
import re
import socket
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

import orv_sdk

ROOT = Path(__file__).resolve().parents[2]
PASSWORD = "secret"
# Server 1: one camera of every kind (plates on camera 1), an inactive one, a small one.
# Server 2: two default cameras.
CONFIG = {
    "servers": [
        {"password": PASSWORD, "cameras": [
            {"kind": "jpeg", "name": "Въезд 1", "plates": True, "plateInterval": 0.4},
            {"kind": "jpeg-blocks"},
            {"kind": "mpeg4"},
            {"kind": "h264"},
            {"kind": "jpeg", "subsampling": "grey"},
            {"kind": "jpeg", "active": False},
            {"kind": "jpeg", "subsampling": "422"},
            {"kind": "jpeg", "subsampling": "444", "width": 320, "height": 240},
        ]},
        {"password": PASSWORD, "cameraCount": 2},
    ],
}


@dataclass
class Sim:
    ports: list[int]
    log: Path
    refused_port: int

    def log_text(self) -> str:
        return self.log.read_text(encoding="utf-8", errors="replace")


def simulator_path() -> Path:
    path = Path(os.environ.get("ORV_SIM", ROOT / "build" / "release" / "sim" / "orv-sim"))
    if not path.is_file():
        pytest.fail(f"orv-sim not found at {path}: build it (cmake --build --preset release) or set ORV_SIM")
    return path


def start_simulator(tmp: Path, config: dict, extra: list[str] | None = None) -> tuple[subprocess.Popen, list[int], Path]:
    """Starts orv-sim on ephemeral ports and returns it with its ports, read from its
    `listening 127.0.0.1:PORT cameras A-B` lines."""
    config_file = tmp / "sim.json"
    config_file.write_text(json.dumps(config, ensure_ascii=False), encoding="utf-8")
    log = tmp / "sim.log"
    process = subprocess.Popen([str(simulator_path()), "--port", "0", "--config", str(config_file), "--verbose",
                                *(extra or [])],
                               stdout=subprocess.PIPE, stderr=log.open("w"), text=True)
    ports = []
    for _ in config["servers"]:
        line = process.stdout.readline() if process.stdout else ""
        match = re.match(r"listening 127\.0\.0\.1:(\d+) cameras \d+-\d+", line)
        if not match:
            process.kill()
            pytest.fail(f"orv-sim did not start: {line!r} {log.read_text()}")
        ports.append(int(match.group(1)))
    return process, ports, log


@pytest.fixture(scope="session")
def sim(tmp_path_factory: pytest.TempPathFactory):
    process, ports, log = start_simulator(tmp_path_factory.mktemp("sim"), CONFIG)
    with socket.socket() as probe:  # a port nobody listens on
        probe.bind(("127.0.0.1", 0))
        refused = probe.getsockname()[1]
    yield Sim(ports, log, refused)
    process.terminate()
    assert process.wait(timeout=10) == 0


@pytest.fixture(scope="session")
def client(sim: Sim):
    with orv_sdk.Client() as client:
        for port in sim.ports:
            client.add_server("127.0.0.1", port, password=PASSWORD)
        client.add_server("127.0.0.1", sim.refused_port)
        client.connect(wait=10)
        yield client


def wait_for(condition, timeout: float = 5.0):
    """Polls `condition` until it returns something true or the time is up."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.05)
