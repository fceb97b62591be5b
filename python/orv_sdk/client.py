"""The Client: one open library state, its servers, cameras, pictures, archive,
plates and commands."""

from __future__ import annotations

import ctypes
import enum
import os
import threading
import time as _time
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import Iterable, Iterator, Union

import numpy as np
import numpy.typing as npt

from . import _native
from .errors import (BufferTooSmall, ClientInUse, NoFrame, NoPlate, NotInitialised, OrvError,
                     check, error_for)
from .oletime import from_ole, to_ole

__all__ = ["Client", "Server", "ServerState", "Camera", "CameraInfo", "Frame", "Plate", "Image"]

Image = Union[npt.NDArray[np.uint8], bytes]

_ORV_OK = 0
_E_FAILED = -1
_E_BUFFER_TOO_SMALL = -6
_E_NO_FRAME = -8
_E_NOT_DECODABLE = -21
_E_NO_PLATE = -300

# kind -> (frame type, take the luma of a YUYV answer)
_LIVE_TYPES = {"jpeg": (1, False), "yuyv": (2, False), "bgr": (3, False), "native": (4, False),
               "grey": (5, False)}
# The archive has no grey type: grey is the luma of the native picture. Type 5 is the
# payload as the server sent it.
_ARCHIVE_TYPES = {"jpeg": (1, False), "yuyv": (2, False), "bgr": (3, False), "native": (4, False),
                  "grey": (4, True), "raw": (5, False)}
_PLATE_TYPES = {"jpeg": (1, False), "bgr": (3, False), "native": (4, False), "yuyv": (4, False),
                "grey": (4, True)}
_BYTE_KINDS = ("jpeg", "raw")

_INITIAL_BUFFER = 1 << 21
_MAX_BUFFER = 256 << 20  # larger than any picture the library hands out (3840x2160 BGR is 25 MB)
_HALF_MS_DAYS = 0.5 / 86_400_000
_SEEK_MARGIN_DAYS = 0.2 / 86_400
_POLL_SECONDS = 0.05
_FRAME_POLL_SECONDS = 0.005

_active_lock = threading.Lock()
_active_client: Client | None = None


class ServerState(enum.IntEnum):
    """Connection state of a registered server."""

    IDLE = 0
    CONNECTING = 1
    FAILED = 2
    CONNECTED = 3
    UNREACHABLE = 5
    REFUSED = 6


@dataclass(frozen=True)
class Server:
    """A registered server. `handle` addresses it in server_event() and console();
    `cameras` is its camera number range once its camera list is known."""

    handle: int
    host: str
    port: int
    state: ServerState | int
    cameras: range | None

    @property
    def address(self) -> str:
        return f"{self.host}:{self.port}"


@dataclass(frozen=True)
class Camera:
    """A camera of a connected server; `name` decoded from Windows-1251."""

    number: int
    name: str
    server: int
    active: bool


@dataclass(frozen=True)
class CameraInfo:
    """The camera information record, field by field."""

    camera: int
    server: int
    record_value: float
    record_value2: float
    record_byte0: int
    status: bytes
    flag32_nonzero: bool
    active: bool
    flag34_zero: bool


@dataclass(frozen=True)
class Frame:
    """A picture. `image` is bytes for "jpeg" and "raw"; otherwise a uint8 array of
    shape (H, W, 3) BGR, (H, W, 2) YUYV (Y0 U Y1 V) or (H, W) grey, chosen by the size
    the library delivered (a grey camera's native and YUYV pictures are grey).
    `time` is the frame time, timezone-aware UTC."""

    camera: int
    time: datetime
    width: int
    height: int
    kind: str
    image: Image


@dataclass(frozen=True)
class Plate:
    """A recognised licence plate. `time` is naive: the server's local time of the
    event. With a picture the library reports the picture's time instead of the
    event's; `time` is then the picture's time in this machine's local time."""

    time: datetime
    number: str
    camera: int
    server: int
    picture: Frame | None = None


def _server_handle(server: int | Server) -> int:
    return server.handle if isinstance(server, Server) else int(server)


def _utc_ole(moment: datetime) -> float:
    """OLE date in UTC of `moment`; a naive datetime is local time, as in datetime.timestamp()."""
    return to_ole(moment.astimezone(timezone.utc))


class Client:
    """The library for this process: `with Client() as client:` initialises it and
    releases it (disconnecting every server) at the end. One client may be open per
    process. Pictures are read into one buffer that the client keeps and grows, then
    copied once into the array or bytes handed out; a live picture of the size its
    camera delivered before is written straight into its array, without a copy.

    `library` names the libOrvSdk file; by default it is looked up as described in
    orv_sdk._native.library_candidates()."""

    def __init__(self, library: str | os.PathLike[str] | None = None) -> None:
        self._lib = _native.load_library(library)
        self._open = False
        self._addresses: list[tuple[str, int]] = []
        self._archive_busy = False
        self._plates_enabled = False
        self._last_sizes: dict[tuple[int, int], int] = {}  # (camera, frame type) -> bytes
        self._buffer: npt.NDArray[np.uint8] = np.empty(0, np.uint8)
        self._grow(_INITIAL_BUFFER)
        # Out values shared by every call; the library lock serialises the calls anyway.
        self._time = ctypes.c_double()
        self._width = ctypes.c_int()
        self._height = ctypes.c_int()
        self._size = ctypes.c_int()
        self._camera = ctypes.c_int()
        self._server = ctypes.c_int()
        self._p_time = ctypes.pointer(self._time)
        self._p_width = ctypes.pointer(self._width)
        self._p_height = ctypes.pointer(self._height)
        self._p_size = ctypes.pointer(self._size)
        self._p_camera = ctypes.pointer(self._camera)
        self._p_server = ctypes.pointer(self._server)
        self._number = ctypes.create_string_buffer(32)

    # ---- lifetime -------------------------------------------------------------------

    def __enter__(self) -> Client:
        self.open()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def open(self) -> None:
        """Initialises the library (what entering the with block does)."""
        global _active_client
        with _active_lock:
            if _active_client is self:
                return
            if _active_client is not None:
                raise ClientInUse("another orv_sdk.Client is open in this process; "
                                  "close it before opening a new one")
            self._lib.ORV_Init()
            _active_client = self
        self._open = True

    def close(self) -> None:
        """Disconnects every server and releases the library state."""
        global _active_client
        with _active_lock:
            if not self._open:
                return
            self._lib.ORV_Uninit()
            self._open = False
            self._addresses.clear()
            self._plates_enabled = False
            _active_client = None

    def _check(self, code: int, what: str) -> int:
        if code < 0:
            raise error_for(code, what)
        return code

    def _require_open(self) -> None:
        if not self._open:
            raise NotInitialised(what="the client is not open (use it in a with block)")

    def _grow(self, needed: int) -> None:
        if needed <= 0 or needed > _MAX_BUFFER:
            raise BufferTooSmall(what=f"the library asked for a buffer of {needed} bytes")
        size = max(needed, 2 * self._buffer.size)
        self._buffer = np.empty(min(size, _MAX_BUFFER), np.uint8)
        self._address = self._buffer.ctypes.data
        self._capacity = self._buffer.size

    # ---- servers ----------------------------------------------------------------------

    def add_server(self, host: str, port: int = 5001, password: str = "", rate_limit: int = 0,
                   user_value: int = 0) -> Server:
        """Registers a server (at most 31). `rate_limit` in KiB/s, 0 for the library's
        default. Raises Duplicate for an address and port already registered."""
        self._require_open()
        number = ctypes.c_int()
        self._check(self._lib.ORV_ServerAddEx(host.encode(), port, rate_limit, user_value,
                                              password.encode(), ctypes.byref(number)),
                    f"adding server {host}:{port}")
        self._addresses.append((host, port if port >= 1 else 5001))
        return self._server_row(number.value)

    def connect(self, wait: float = 10.0) -> list[Server]:
        """Connects every registered server, logs in and loads the camera lists. Returns
        the servers once none is still connecting (a connected one also has its camera
        range), or when `wait` seconds have passed."""
        self._require_open()
        deadline = _time.monotonic() + wait
        self._check(self._lib.ORV_ServersConnect(), "connecting")
        while True:
            servers = self.servers()
            settled = all(s.state not in (ServerState.IDLE, ServerState.CONNECTING)
                          and (s.state != ServerState.CONNECTED or s.cameras is not None)
                          for s in servers)
            if settled or _time.monotonic() >= deadline:
                return servers
            _time.sleep(_POLL_SECONDS)

    def disconnect(self) -> None:
        """Disconnects every server; the registrations stay."""
        self._require_open()
        self._check(self._lib.ORV_ServersDisconnect(), "disconnecting")

    def remove_all_servers(self) -> None:
        """Disconnects and forgets every server."""
        self._require_open()
        self._check(self._lib.ORV_ServersDelAll(), "removing the servers")
        self._addresses.clear()

    def _server_row(self, handle: int) -> Server:
        state = ctypes.c_int()
        self._check(self._lib.ORV_ServerGetState(handle, ctypes.byref(state)), f"state of server {handle}")
        first, last, count = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        code = self._lib.ORV_ServerGetCameras(handle, ctypes.byref(first), ctypes.byref(last),
                                              ctypes.byref(count))
        cameras = range(first.value, last.value + 1) if code == _ORV_OK and count.value > 0 else None
        try:
            server_state: ServerState | int = ServerState(state.value)
        except ValueError:
            server_state = state.value
        host, port = self._addresses[handle - 1] if handle <= len(self._addresses) else ("", 0)
        return Server(handle, host, port, server_state, cameras)

    def servers(self) -> list[Server]:
        """Every registered server with its state and camera range, by handle."""
        self._require_open()
        count = self._check(self._lib.ORV_ServersGetCount(), "counting the servers")
        return [self._server_row(handle) for handle in range(1, count + 1)]

    # ---- cameras ----------------------------------------------------------------------

    def camera_name(self, camera: int) -> str:
        """The camera's name, decoded from Windows-1251."""
        self._require_open()
        for size in (256, 65536):
            name = ctypes.create_string_buffer(size)
            code = self._lib.ORV_CameraGetName(camera, name, size)
            if code != _E_BUFFER_TOO_SMALL:
                self._check(code, f"name of camera {camera}")
                return name.value.decode("cp1251", errors="replace")
        raise error_for(_E_BUFFER_TOO_SMALL, f"name of camera {camera}")

    def camera_info(self, camera: int) -> CameraInfo:
        """The camera information record. Raises UnknownCamera (or InvalidArgument for a
        number outside 1..2048)."""
        self._require_open()
        record = _native.CameraInfoRecord()
        self._check(self._lib.ORV_CameraGetInfo(camera, ctypes.byref(record)), f"information of camera {camera}")
        return CameraInfo(record.camera, record.serverHandle, record.recordValue, record.recordValue2,
                          record.recordByte0, bytes(record.status), bool(record.flag32NonZero),
                          bool(record.active), bool(record.flag34Zero))

    def cameras(self) -> list[Camera]:
        """Every camera of every server whose camera list is known, by number."""
        result = []
        for server in self.servers():
            for number in server.cameras or ():
                info = self.camera_info(number)
                result.append(Camera(number, self.camera_name(number), info.server, info.active))
        return result

    # ---- pictures ---------------------------------------------------------------------

    def _picture(self, camera: int, kind: str, luma: bool) -> Frame:
        """The Frame of what the last call left in the buffer: one copy."""
        width, height, size = self._width.value, self._height.value, self._size.value
        if size < 0 or size > self._capacity:
            raise OrvError(_E_FAILED, f"camera {camera}: the library reported {size} bytes")
        data = self._buffer[:size]
        image: Image
        if kind in _BYTE_KINDS:
            image = data.tobytes()
        else:
            pixels = width * height
            if pixels > 0 and size == 3 * pixels:
                image = data.copy().reshape(height, width, 3)
            elif pixels > 0 and size == 2 * pixels:
                image = data[0::2].reshape(height, width).copy() if luma else data.copy().reshape(height, width, 2)
            elif size == pixels:
                image = data.copy().reshape(height, width)
            else:
                raise OrvError(_E_FAILED, f"camera {camera}: {size} bytes do not make a "
                                          f"{width}x{height} {kind} picture")
        return Frame(camera, from_ole(self._time.value), width, height, kind, image)

    def _frame_from(self, data: npt.NDArray[np.uint8], camera: int, kind: str) -> Frame:
        """The Frame of a picture the library wrote into `data` (no copy)."""
        width, height, size = self._width.value, self._height.value, data.size
        if size == 3 * width * height:
            image = data.reshape(height, width, 3)
        elif size == 2 * width * height:
            image = data.reshape(height, width, 2)
        elif size == width * height:
            image = data.reshape(height, width)
        else:
            raise OrvError(_E_FAILED, f"camera {camera}: {size} bytes do not make a "
                                      f"{width}x{height} {kind} picture")
        return Frame(camera, from_ole(self._time.value), width, height, kind, image)

    def frame(self, camera: int, kind: str = "bgr", wait: float = 1.0) -> Frame:
        """The newest live picture of a camera. `kind` is "jpeg" (bytes as received or
        encoded), "bgr", "yuyv", "grey" or "native" (YUYV, or grey for a grey camera).
        A decoded picture comes only when the camera has a newer one than the last
        delivered, and compressed cameras deliver theirs one call late: NoFrame is
        retried for up to `wait` seconds (0: one attempt). Raises NoFrame,
        CameraInactive, InvalidArgument and the like."""
        try:
            frame_type, _ = _LIVE_TYPES[kind]
        except KeyError:
            raise ValueError(f"unknown picture kind {kind!r} (one of {', '.join(_LIVE_TYPES)})") from None
        self._require_open()
        deadline = _time.monotonic() + wait
        get_frame = self._lib.ORV_VideoGetFrame
        key = (camera, frame_type)
        while True:
            # A decoded picture of the size this camera delivered last time is written
            # straight into the array handed out; anything else goes through the buffer.
            expected = self._last_sizes.get(key, 0) if kind not in _BYTE_KINDS else 0
            target = np.empty(expected, np.uint8) if expected else self._buffer
            code = get_frame(camera, frame_type, target.ctypes.data if expected else self._address,
                             expected or self._capacity, self._p_time, self._p_width, self._p_height,
                             self._p_size)
            if code == _ORV_OK:
                size = self._size.value
                if expected:
                    if not 0 < size <= expected:
                        raise OrvError(_E_FAILED, f"camera {camera}: the library reported {size} bytes")
                    if size != expected:
                        self._last_sizes[key] = size
                    return self._frame_from(target if size == expected else target[:size].copy(), camera, kind)
                frame = self._picture(camera, kind, False)
                if not isinstance(frame.image, bytes) and size > 0:
                    self._last_sizes[key] = size
                return frame
            if code == _E_BUFFER_TOO_SMALL:
                self._last_sizes.pop(key, None)
                if self._size.value > self._capacity:
                    self._grow(self._size.value)
                continue
            if code != _E_NO_FRAME or _time.monotonic() + _FRAME_POLL_SECONDS > deadline:
                raise error_for(code, f"live picture of camera {camera}")
            _time.sleep(_FRAME_POLL_SECONDS)

    # ---- archive ----------------------------------------------------------------------

    def archive_range(self) -> tuple[datetime, datetime]:
        """Earliest begin and latest end of the recorded archive over all servers (UTC)."""
        self._require_open()
        begin, end = ctypes.c_double(), ctypes.c_double()
        self._check(self._lib.ORV_VideoArchiveOpen(1), "opening the archive")
        self._check(self._lib.ORV_VideoArchiveGetInfo(ctypes.byref(begin), ctypes.byref(end)),
                    "reading the archive range")
        return from_ole(begin.value), from_ole(end.value)

    def archive(self, cameras: int | Iterable[int], start: datetime, end: datetime | None = None,
                kind: str = "jpeg", backward: bool = False) -> Iterator[Frame]:
        """Recorded pictures of the cameras (merged across servers) from `start` to `end`
        inclusive, in time order: ascending, or descending with backward=True. A naive
        datetime is local time. Without `end` the reading goes on to the end of the
        archive (backward: starts there). `kind` as in frame(), without "grey" needing a
        grey camera (grey is the luma of the native picture), plus "raw": the payload as
        the server sent it. Pictures that cannot be decoded are skipped. One archive read
        may run at a time."""
        try:
            frame_type, luma = _ARCHIVE_TYPES[kind]
        except KeyError:
            raise ValueError(f"unknown picture kind {kind!r} (one of {', '.join(_ARCHIVE_TYPES)})") from None
        numbers = [cameras] if isinstance(cameras, int) else list(cameras)
        if not numbers:
            raise ValueError("archive() needs at least one camera")
        start_ole = _utc_ole(start)
        end_ole = _utc_ole(end) if end is not None else None
        if end_ole is not None and end_ole < start_ole:
            raise ValueError("archive(): end lies before start")
        return self._archive(numbers, start_ole, end_ole, frame_type, kind, luma, backward)

    def _archive(self, numbers: list[int], start: float, end: float | None, frame_type: int, kind: str,
                 luma: bool, backward: bool) -> Iterator[Frame]:
        self._require_open()
        if self._archive_busy:
            raise RuntimeError("another archive read of this client is still running; finish or close it first")
        self._archive_busy = True
        try:
            lib = self._lib
            self._check(lib.ORV_VideoArchiveOpen(1), "opening the archive")
            if backward and end is None:
                begin_ole, end_ole = ctypes.c_double(), ctypes.c_double()
                self._check(lib.ORV_VideoArchiveGetInfo(ctypes.byref(begin_ole), ctypes.byref(end_ole)),
                            "reading the archive range")
                end = end_ole.value
            # Every server is positioned on its last picture at or before the time given,
            # a little before start (after end when reading backward); what lies outside
            # [start, end] is read and skipped. Positioning exactly on start would skip the
            # pictures at start of lower-numbered cameras, and the first pictures after
            # positioning can come out of order across servers.
            position = end + _SEEK_MARGIN_DAYS if backward else start - _SEEK_MARGIN_DAYS
            self._check(lib.ORV_VideoArchiveFindData(position, 0), "positioning the archive")
            camera_array = (ctypes.c_int * len(numbers))(*numbers)
            forward_flag = 0 if backward else 1
            empty_reads = 0
            while True:
                code = lib.ORV_VideoArchiveGetFrame(
                    camera_array, len(numbers), frame_type, 0, forward_flag, self._address, self._capacity,
                    self._p_camera, self._p_time, self._p_width, self._p_height, self._p_size)
                if code == _E_BUFFER_TOO_SMALL:
                    # The read consumed the picture it could not hand over: go back to its time.
                    self._grow(self._size.value)
                    self._check(lib.ORV_VideoArchiveFindData(self._time.value, 0),
                                "positioning the archive")
                    continue
                if code == _E_NOT_DECODABLE:
                    continue
                if code in (_E_NO_FRAME, _E_FAILED):
                    # Past the end of the archive the library answers one or the other.
                    empty_reads += 1
                    if empty_reads >= 3:
                        return
                    continue
                self._check(code, "reading the archive")
                empty_reads = 0
                moment = self._time.value
                if backward:
                    if end is not None and moment > end + _HALF_MS_DAYS:
                        continue
                    if moment < start - _HALF_MS_DAYS:
                        return
                else:
                    if moment < start - _HALF_MS_DAYS:
                        continue
                    if end is not None and moment > end + _HALF_MS_DAYS:
                        return
                if self._size.value <= 0:
                    continue  # an answer without a picture
                yield self._picture(self._camera.value, kind, luma)
        finally:
            self._archive_busy = False

    # ---- plates -----------------------------------------------------------------------

    def plate_detection(self, enabled: bool = True) -> None:
        """Starts (or stops) polling the servers for recognised plates. plates(),
        follow_plates() and latest_plate() start it themselves."""
        self._require_open()
        self._check(self._lib.ORV_KeloEnablePlateDetect(1 if enabled else 0), "switching plate detection")
        self._plates_enabled = enabled

    def _read_plate(self, camera: int | None, picture: str | None, offset_ms: int,
                    max_age_ms: int) -> Plate | None:
        if not self._plates_enabled:
            self.plate_detection(True)
        image_type, luma = _PLATE_TYPES[picture] if picture is not None else (0, False)
        lib = self._lib
        for _ in range(4):
            address = self._address if image_type else None
            capacity = self._capacity if image_type else 0
            if camera is None:
                code = lib.ORV_KeloGetPlateNumber(self._number, self._p_server, self._p_camera, self._p_time,
                                                  image_type, offset_ms, address, capacity, self._p_width,
                                                  self._p_height, self._p_size)
            else:
                self._camera.value = camera
                code = lib.ORV_KeloGetLatestPlateNumber(camera, self._number, self._p_server, self._p_time,
                                                        image_type, offset_ms, address, capacity,
                                                        self._p_width, self._p_height, self._p_size, max_age_ms)
            if code == _E_NO_PLATE:
                return None
            dropped = code == _E_BUFFER_TOO_SMALL
            if dropped:
                self._grow(self._size.value)
                if camera is not None:
                    continue  # the latest record stays: ask again with room for the picture
            else:
                self._check(code, "reading a plate")
            number = self._number.value.decode("cp1251", errors="replace")
            plate_camera = self._camera.value
            frame = None
            if image_type and not dropped and self._size.value > 0:
                frame = self._picture(plate_camera, picture or "", luma)
            moment = (frame.time.astimezone().replace(tzinfo=None) if frame is not None
                      else from_ole(self._time.value, tz=None))
            return Plate(moment, number, plate_camera, self._server.value, frame)
        raise error_for(_E_BUFFER_TOO_SMALL, f"plate picture of camera {camera}")

    def plates(self, picture: str | None = None, offset_ms: int = 0) -> list[Plate]:
        """Takes every queued plate (the library keeps the newest ten), oldest first.
        `picture` ("jpeg", "bgr", "native", "yuyv", "grey") attaches an archive picture
        of the event time plus `offset_ms`. A picture that did not fit the buffer is
        dropped (the plate is still returned) and the buffer grows for the next one."""
        self._require_open()
        result = []
        while (plate := self._read_plate(None, picture, offset_ms, 0)) is not None:
            result.append(plate)
        return result

    def follow_plates(self, picture: str | None = None, offset_ms: int = 0, interval: float = 0.1,
                      timeout: float | None = None) -> Iterator[Plate]:
        """Yields plates as they are recognised, polling the queue every `interval`
        seconds; ends after `timeout` seconds (never without one)."""
        self._require_open()
        deadline = None if timeout is None else _time.monotonic() + timeout
        while deadline is None or _time.monotonic() < deadline:
            plate = self._read_plate(None, picture, offset_ms, 0)
            if plate is not None:
                yield plate
                continue
            _time.sleep(interval if deadline is None else max(0.0, min(interval, deadline - _time.monotonic())))

    def latest_plate(self, camera: int, picture: str | None = None, max_age: float | None = None,
                     offset_ms: int = 0) -> Plate:
        """The newest plate of a camera, without taking it from the queue. `max_age`
        (seconds) rejects older records. Raises NoPlate when there is none."""
        self._require_open()
        max_age_ms = 0 if max_age is None else max(1, round(max_age * 1000))
        plate = self._read_plate(camera, picture, offset_ms, max_age_ms)
        if plate is None:
            raise NoPlate(what=f"latest plate of camera {camera}")
        return plate

    # ---- events, telemetry, console ---------------------------------------------------

    def event(self, camera: int, a: int = 0, b: int = 0, c: int = 0, d: int = 0) -> None:
        """Raises an external event for a camera with four values."""
        self._require_open()
        self._check(self._lib.ORV_SetExternalEvent(camera, a, b, c, d), f"event for camera {camera}")

    def server_event(self, server: int | Server, value: int) -> None:
        """Raises a server-wide external event."""
        self._require_open()
        handle = _server_handle(server)
        self._check(self._lib.ORV_SetExternalEvent_X(handle, value), f"event for server {handle}")

    def ptz(self, camera: int, command: int, speed1: int = 20, speed2: int = 20, value: int = 0) -> None:
        """Pan/tilt/zoom telemetry command; speeds are clamped to 0..99 and only the low
        byte of `value` is sent."""
        self._require_open()
        self._check(self._lib.ORV_CamTele(camera, command, speed1, speed2, value), f"telemetry for camera {camera}")

    def console(self, server: int | Server, camera: int) -> None:
        """Switches a server's external console to a camera."""
        self._require_open()
        handle = _server_handle(server)
        self._check(self._lib.ORV_ExtPultSwitchCam(handle, camera), f"console of server {handle}")
