"""Finding libOrvSdk and declaring its 28 C exports for ctypes."""

from __future__ import annotations

import ctypes
import os
import sys
from pathlib import Path

__all__ = ["CameraInfoRecord", "LibraryNotFound", "load_library", "library_candidates"]

LIBRARY_ENV = "ORV_SDK_LIBRARY"

if sys.platform == "win32":
    _FILE_NAME = "OrvSdkDll.dll"
elif sys.platform == "darwin":
    _FILE_NAME = "libOrvSdk.dylib"
else:
    _FILE_NAME = "libOrvSdk.so"

# Prefixes searched after the package's own folder and ORV_SDK_LIBRARY.
_PREFIXES = (Path(sys.prefix), Path("/usr/local"), Path("/opt/orv-sdk"), Path("/usr"))


class LibraryNotFound(OSError):
    """libOrvSdk could not be loaded from any of the places tried."""

    def __init__(self, tried: list[tuple[str, str]]) -> None:
        lines = "\n".join(f"  {path}: {why}" for path, why in tried)
        super().__init__(
            f"{_FILE_NAME} not found or not loadable. Tried:\n{lines}\n"
            f"Build the library in this tree (cmake --build --preset release) and reinstall "
            f"the package, set {LIBRARY_ENV} to the library file, or install the SDK "
            f"(cmake --install build/release --prefix /usr/local)."
        )
        self.tried = tried


class CameraInfoRecord(ctypes.Structure):
    """The 32-byte camera information record of ORV_CameraGetInfo."""

    _pack_ = 1
    _fields_ = [
        ("camera", ctypes.c_int32),
        ("serverHandle", ctypes.c_int32),
        ("recordValue", ctypes.c_double),
        ("recordValue2", ctypes.c_double),
        ("recordByte0", ctypes.c_uint8),
        ("status", ctypes.c_uint8 * 4),
        ("flag32NonZero", ctypes.c_uint8),
        ("active", ctypes.c_uint8),
        ("flag34Zero", ctypes.c_uint8),
    ]


assert ctypes.sizeof(CameraInfoRecord) == 32

_int = ctypes.c_int
_uint = ctypes.c_uint
_pint = ctypes.POINTER(ctypes.c_int)
_pdouble = ctypes.POINTER(ctypes.c_double)
_str = ctypes.c_char_p
_buf = ctypes.c_void_p  # char* / unsigned char* buffers: numpy arrays pass their address

_PROTOTYPES: dict[str, tuple] = {
    "ORV_Init": (),
    "ORV_Uninit": (),
    "ORV_ServerAdd": (_str, _int, _int, _int, _str),
    "ORV_ServerAddEx": (_str, _int, _int, _int, _str, _pint),
    "ORV_ServersDelAll": (),
    "ORV_ServersConnect": (),
    "ORV_ServersDisconnect": (),
    "ORV_ServersGetCount": (),
    "ORV_ServerGetState": (_int, _pint),
    "ORV_ServerGetCameras": (_int, _pint, _pint, _pint),
    "ORV_CameraGetInfo": (_int, ctypes.POINTER(CameraInfoRecord)),
    "ORV_CameraGetName": (_int, _buf, _uint),
    "ORV_VideoGetFrame": (_int, _int, _buf, _uint, _pdouble, _pint, _pint, _pint),
    "ORV_VideoArchiveOpen": (_int,),
    "ORV_VideoArchiveFindData": (ctypes.c_double, _int),
    "ORV_VideoArchiveGetInfo": (_pdouble, _pdouble),
    "ORV_VideoArchiveGetFrame": (
        _pint, _uint, _int, _int, _int, _buf, _uint, _pint, _pdouble, _pint, _pint, _pint,
    ),
    "ORV_KeloEnablePlateDetect": (_int,),
    "ORV_KeloGetPlateNumber": (
        _buf, _pint, _pint, _pdouble, _int, _int, _buf, _uint, _pint, _pint, _pint,
    ),
    "ORV_KeloGetLatestPlateNumber": (
        _int, _buf, _pint, _pdouble, _int, _int, _buf, _uint, _pint, _pint, _pint, _int,
    ),
    "ORV_SetExternalEvent": (_int, _int, _int, _int, _int),
    "ORV_SetExternalEvent_X": (_int, _int),
    "ORV_ExtPultSwitchCam": (_int, _int),
    "ORV_CamTele": (_int, _int, _int, _int, _int),
    "ORV_WindowLiveShow": (_int,) * 8,
    "ORV_WindowLiveHide": (_int,),
    "ORV_WindowArchiveShow": (_int,) * 9,
    "ORV_WindowArchiveHide": (),
}


def library_candidates() -> list[Path]:
    """The library files tried, in order: the package's own folder (filled by a build
    in this source tree), then the installed prefixes (sys.prefix, /usr/local,
    /opt/orv-sdk, /usr). ORV_SDK_LIBRARY (a file or a folder), when set, replaces
    the list: a library named explicitly is never silently swapped for another."""
    override = os.environ.get(LIBRARY_ENV)
    if override:
        path = Path(override)
        return [path / _FILE_NAME if path.is_dir() else path]
    candidates: list[Path] = []
    candidates.append(Path(__file__).resolve().parent / _FILE_NAME)
    for prefix in _PREFIXES:
        candidates.append(prefix / "lib" / _FILE_NAME)
        candidates.append(prefix / "lib" / "x86_64-linux-gnu" / _FILE_NAME)
    return candidates


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    for name, argtypes in _PROTOTYPES.items():
        function = getattr(lib, name)
        function.argtypes = argtypes
        function.restype = ctypes.c_int
    return lib


def load_library(path: str | os.PathLike[str] | None = None) -> ctypes.CDLL:
    """Loads libOrvSdk (from `path` when given, else from the first candidate that
    loads) and declares its exports. Raises LibraryNotFound naming every path tried."""
    loader = ctypes.WinDLL if sys.platform == "win32" and ctypes.sizeof(ctypes.c_void_p) == 4 else ctypes.CDLL  # type: ignore[attr-defined]
    tried: list[tuple[str, str]] = []
    for candidate in [Path(path)] if path is not None else library_candidates():
        if not candidate.is_file():
            tried.append((str(candidate), "no such file"))
            continue
        try:
            return _declare(loader(str(candidate)))
        except (OSError, AttributeError) as error:
            tried.append((str(candidate), str(error)))
    raise LibraryNotFound(tried)
