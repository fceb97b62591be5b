"""The Client against orv-sim: every method, picture content, archive, plates, errors."""

from __future__ import annotations

import io
import itertools
import re
from datetime import datetime, timedelta, timezone

import numpy as np
import pytest
from PIL import Image as PIL  # python3-pil; a missing one must fail, not skip

import orv_sdk
from orv_sdk import ServerState

from conftest import PASSWORD, wait_for


W, H = 640, 360
# The simulator's moving box: Y 200, U 80, V 200 - orange in BGR; grey cameras show its luma.
BOX_BGR = {"colour": (115, 165, 255), "grey": (200, 200, 200)}
GREY_CAMERAS = {5}
COMPRESSED_CAMERAS = {3, 4}


def box_centre(frame: orv_sdk.Frame) -> tuple[int, int]:
    """Row and column of the centre of the simulator's box at the frame's time."""
    ms = round(frame.time.timestamp() * 1000)
    box_width = max(8, frame.width // 8)
    left = (ms % 8000) * max(1, frame.width - box_width) // 8000
    return frame.height // 2, left + box_width // 2


def assert_box_colour(frame: orv_sdk.Frame) -> None:
    row, col = box_centre(frame)
    tolerance = 30 if frame.camera in COMPRESSED_CAMERAS else 14
    bgr = np.array(BOX_BGR["grey" if frame.camera in GREY_CAMERAS else "colour"])
    image = frame.image
    if isinstance(image, bytes):
        with PIL.open(io.BytesIO(image)) as decoded:
            assert decoded.size == (frame.width, frame.height)
            if decoded.mode == "L":
                pixel = np.array([decoded.getpixel((col, row))] * 3)
            else:
                pixel = np.array(decoded.convert("RGB").getpixel((col, row))[::-1])
    elif image.ndim == 3 and image.shape[2] == 3:
        pixel = image[row, col].astype(int)
    else:
        luma = image[row, col, 0] if image.ndim == 3 else image[row, col]
        pixel = np.array([int(luma)] * 3)
        bgr = np.array([200] * 3)
        if image.ndim == 3:  # YUYV: U on even columns, V on odd ones
            even = col - col % 2
            assert abs(int(image[row, even, 1]) - 80) <= tolerance
            assert abs(int(image[row, even + 1, 1]) - 200) <= tolerance
    assert np.all(np.abs(pixel - bgr) <= tolerance), f"camera {frame.camera} {frame.kind}: {pixel} at {row},{col}"


def assert_picture(frame: orv_sdk.Frame, camera: int, kind: str, shape: tuple[int, ...] | None) -> None:
    assert (frame.camera, frame.kind) == (camera, kind)
    if shape is None:
        assert isinstance(frame.image, bytes) and frame.image[:3] == b"\xff\xd8\xff"
    else:
        assert isinstance(frame.image, np.ndarray)
        assert (frame.image.shape, frame.image.dtype) == (shape, np.uint8)
        assert frame.image.flags.c_contiguous and frame.image.flags.writeable
    if kind != "raw":  # the payload as received carries no picture size
        assert (frame.height, frame.width) == (shape[:2] if shape else (frame.height, frame.width))
        assert_box_colour(frame)


def test_servers_and_cameras(client, sim):
    servers = client.servers()
    assert [(s.handle, s.address, s.state, s.cameras) for s in servers[:2]] == [
        (1, f"127.0.0.1:{sim.ports[0]}", ServerState.CONNECTED, range(1, 9)),
        (2, f"127.0.0.1:{sim.ports[1]}", ServerState.CONNECTED, range(9, 11)),
    ]
    assert servers[2].state in (ServerState.REFUSED, ServerState.CONNECTING) and servers[2].cameras is None
    cameras = client.cameras()
    assert [(c.number, c.server, c.active) for c in cameras] == [(n, 1 if n <= 8 else 2, n != 6) for n in range(1, 11)]
    assert [c.name for c in cameras[:2]] == ["Въезд 1", "Camera 2"]
    info = client.camera_info(9)
    assert (info.camera, info.server, info.active, len(info.status)) == (9, 2, True, 4)
    assert client.camera_info(6).active is False


LIVE = [  # camera, kind, shape (None: JPEG bytes)
    (1, "bgr", (H, W, 3)), (1, "yuyv", (H, W, 2)), (1, "grey", (H, W)), (1, "native", (H, W, 2)),
    (1, "jpeg", None), (2, "bgr", (H, W, 3)), (3, "bgr", (H, W, 3)), (4, "bgr", (H, W, 3)),
    (4, "grey", (H, W)), (5, "native", (H, W)), (5, "bgr", (H, W, 3)), (7, "yuyv", (H, W, 2)),
    (8, "bgr", (240, 320, 3)), (9, "jpeg", None), (10, "bgr", (H, W, 3)),
]


@pytest.mark.parametrize("camera,kind,shape", LIVE)
def test_live_picture(client, camera, kind, shape):
    frame = client.frame(camera, kind, wait=5)
    assert_picture(frame, camera, kind, shape)
    assert frame.time.utcoffset() == timedelta(0)
    assert abs(datetime.now(timezone.utc) - frame.time) < timedelta(seconds=10)


def test_pictures_do_not_share_the_client_buffer(client):
    first = client.frame(1, "bgr")
    kept = first.image.copy()
    second = client.frame(1, "bgr", wait=2)
    assert second.time > first.time and not np.array_equal(second.image, kept)
    assert_box_colour(second)  # written straight into its array: the size is known now
    assert np.array_equal(first.image, kept)


def test_archive_order_and_bounds(client):
    begin, end = client.archive_range()
    assert timedelta(minutes=59) < end - begin <= timedelta(hours=1, seconds=10)
    assert abs(datetime.now(timezone.utc) - end) < timedelta(seconds=10)
    start = end - timedelta(seconds=20)
    stop = start + timedelta(seconds=1)
    forward = [(f.time, f.camera) for f in client.archive([1, 9], start, stop)]
    backward = [(f.time, f.camera) for f in client.archive([9, 1], start, stop, backward=True)]
    assert forward == sorted(forward) and sorted(backward) == forward
    assert [t for t, _ in backward] == sorted((t for t, _ in forward), reverse=True)
    assert all(start <= t <= stop for t, _ in forward)
    assert {c for _, c in forward} == {1, 9} and len(forward) in (50, 52)  # 25 pictures/s, both ends inclusive


def test_archive_reads_to_the_end(client):
    _, end = client.archive_range()
    frames = list(client.archive(2, end - timedelta(seconds=1), kind="raw"))
    assert len(frames) >= 25 and frames[-1].time >= end


ARCHIVE = [  # camera, kind, shape
    (1, "jpeg", None), (1, "raw", None), (1, "bgr", (H, W, 3)), (1, "grey", (H, W)), (7, "yuyv", (H, W, 2)),
    (5, "native", (H, W)), (4, "bgr", (H, W, 3)), (10, "bgr", (H, W, 3)),
]


@pytest.mark.parametrize("camera,kind,shape", ARCHIVE)
def test_archive_picture(client, camera, kind, shape):
    _, end = client.archive_range()
    frames = list(itertools.islice(client.archive(camera, end - timedelta(seconds=30), kind=kind), 3))
    assert len(frames) == 3
    for frame in frames:
        assert_picture(frame, camera, kind, shape)


def test_archive_misuse(client):
    now = datetime.now(timezone.utc)
    running = client.archive(1, now - timedelta(seconds=30))
    next(running)
    with pytest.raises(RuntimeError, match="still running"):
        next(client.archive(1, now - timedelta(seconds=30)))
    running.close()
    assert next(client.archive(1, now - timedelta(seconds=30))).camera == 1
    for bad in (lambda: client.archive(1, now, now - timedelta(seconds=1)), lambda: client.archive([], now),
                lambda: client.archive(1, now, kind="png"), lambda: client.frame(1, "raw")):
        with pytest.raises(ValueError):
            bad()


def test_plates(client):
    followed = list(itertools.islice(client.follow_plates(timeout=10), 2))
    assert len(followed) == 2
    assert all((p.camera, p.server, p.picture) == (1, 1, None) for p in followed)
    assert all(re.fullmatch(r"[A-Z0-9]{6,10}", p.number) for p in followed)
    assert followed[0].time <= followed[1].time
    assert abs(datetime.now() - followed[1].time) < timedelta(minutes=1)  # local time, naive

    queued = wait_for(lambda: client.plates(picture="jpeg"))
    assert queued and all(p.picture is not None and p.picture.image[:3] == b"\xff\xd8\xff" for p in queued)
    latest = client.latest_plate(1, picture="bgr")
    assert latest.camera == 1 and latest.picture is not None and latest.picture.image.shape == (H, W, 3)
    assert client.latest_plate(1).number
    for camera, max_age in ((2, None), (1, 0.001)):
        with pytest.raises(orv_sdk.NoPlate):
            client.latest_plate(camera, max_age=max_age)


COMMANDS = [  # call, server index, line orv-sim logs
    (lambda c: c.event(1, 7, 8, 9, 10), 0, "event camera 1 7 8 9 10"),
    (lambda c: c.server_event(2, 42), 1, "server event 42"),
    (lambda c: c.ptz(9, 3, speed1=150, speed2=5), 1, "telemetry camera 9 command 3 speeds 99/5"),
    (lambda c: c.console(c.servers()[0], 7), 0, "console switch to camera 7"),
]


@pytest.mark.parametrize("call,server,line", COMMANDS)
def test_commands_reach_the_server(client, sim, call, server, line):
    call(client)
    assert wait_for(lambda: f"[{sim.ports[server]}] {line}" in sim.log_text()), sim.log_text()[-2000:]


ERRORS = [  # call, exception, code
    (lambda c, s: c.frame(6), orv_sdk.CameraInactive, -9),
    (lambda c, s: c.camera_name(3000), orv_sdk.InvalidArgument, -5),
    (lambda c, s: c.camera_info(99), orv_sdk.UnknownCamera, -12),
    (lambda c, s: c.camera_name(99), orv_sdk.Failed, -1),
    (lambda c, s: c.ptz(0, 1), orv_sdk.InvalidArgument, -5),
    (lambda c, s: c.console(5, 1), orv_sdk.Failed, -1),
    (lambda c, s: c.add_server("127.0.0.1", s.ports[0]), orv_sdk.Duplicate, -7),
    (lambda c, s: orv_sdk.Client().servers(), orv_sdk.NotInitialised, -513),
]


@pytest.mark.parametrize("call,error,code", ERRORS)
def test_errors(client, sim, call, error, code):
    with pytest.raises(error) as raised:
        call(client, sim)
    assert raised.value.code == code and raised.value.name in str(raised.value)


def test_one_client_per_process(client):
    with pytest.raises(orv_sdk.ClientInUse):
        orv_sdk.Client().open()


def test_disconnect_reconnect_and_remove(client):
    # Last: leaves the client without servers.
    client.disconnect()
    assert all(s.state != ServerState.CONNECTED for s in client.servers())
    assert [s.state for s in client.connect(wait=10)[:2]] == [ServerState.CONNECTED] * 2
    assert client.frame(1, "grey", wait=5).image.shape == (H, W)
    client.remove_all_servers()
    assert client.servers() == [] and client.cameras() == []
