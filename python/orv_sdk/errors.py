"""Result codes of the library as Python exceptions."""

from __future__ import annotations

__all__ = [
    "OrvError", "Failed", "InvalidArgument", "BufferTooSmall", "Duplicate", "NoFrame",
    "CameraInactive", "UnknownCamera", "NotDecodable", "NoPlate", "NotReady",
    "NotInitialised", "NotSupported", "ClientInUse", "error_for", "check",
]


class OrvError(Exception):
    """A negative result code of the library. `code` is the number, `name` its
    ORV_E_* name; subclasses exist for every code the header defines."""

    code: int = 0
    name: str = ""
    text: str = "result code not defined by the library header"

    def __init__(self, code: int | None = None, what: str = "") -> None:
        if code is not None:
            self.code = code
        if not self.name:
            self.name = f"ORV_RESULT({self.code})"
        self.what = what
        prefix = f"{what}: " if what else ""
        super().__init__(f"{prefix}{self.name} ({self.code}): {self.text}")


class Failed(OrvError):
    code, name, text = -1, "ORV_E_FAILED", "failed, not found, or the library was busy"


class InvalidArgument(OrvError):
    code, name, text = -5, "ORV_E_INVALID_ARG", "invalid argument or camera out of range"


class BufferTooSmall(OrvError):
    code, name, text = -6, "ORV_E_BUFFER_TOO_SMALL", "buffer too small"


class Duplicate(OrvError):
    code, name, text = -7, "ORV_E_DUPLICATE", "a server with this address and port is already registered"


class NoFrame(OrvError):
    code, name, text = -8, "ORV_E_NO_FRAME", "no frame available"


class CameraInactive(OrvError):
    code, name, text = -9, "ORV_E_CAMERA_INACTIVE", "camera not active on a connected server"


class UnknownCamera(OrvError):
    code, name, text = -12, "ORV_E_UNKNOWN_CAMERA", "unknown camera"


class NotDecodable(OrvError):
    code, name, text = -21, "ORV_E_NOT_DECODABLE", "archive picture could not be decoded"


class NoPlate(OrvError):
    code, name, text = -300, "ORV_E_NO_PLATE", "no plate record available"


class NotReady(OrvError):
    code, name, text = -510, "ORV_E_NOT_READY", "protocol client not ready"


class NotInitialised(OrvError):
    code, name, text = -513, "ORV_E_NOT_INITIALISED", "library not initialised (use the Client in a with block)"


class NotSupported(OrvError):
    code, name, text = -600, "ORV_E_NOT_SUPPORTED", "not supported"


class ClientInUse(RuntimeError):
    """A second Client was entered while another one holds the library: the library
    keeps one state per process."""


_BY_CODE: dict[int, type[OrvError]] = {
    cls.code: cls
    for cls in (Failed, InvalidArgument, BufferTooSmall, Duplicate, NoFrame, CameraInactive,
                UnknownCamera, NotDecodable, NoPlate, NotReady, NotInitialised, NotSupported)
}


def error_for(code: int, what: str = "") -> OrvError:
    """The exception for a negative result code (OrvError itself for unknown codes)."""
    cls = _BY_CODE.get(code)
    return cls(what=what) if cls is not None else OrvError(code, what)


def check(code: int, what: str = "") -> int:
    """Returns a non-negative result code unchanged; raises its exception otherwise."""
    if code < 0:
        raise error_for(code, what)
    return code
