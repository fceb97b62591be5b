"""orv_sdk: the ORV client library from Python, pictures as numpy arrays.

    import orv_sdk
    with orv_sdk.Client() as client:
        client.add_server("127.0.0.1", 5001)
        client.connect()
        frame = client.frame(1, "bgr")      # frame.image: (H, W, 3) uint8
"""

from ._native import LibraryNotFound, library_candidates
from .client import Camera, CameraInfo, Client, Frame, Image, Plate, Server, ServerState
from .errors import (BufferTooSmall, CameraInactive, ClientInUse, Duplicate, Failed, InvalidArgument,
                     NoFrame, NoPlate, NotDecodable, NotInitialised, NotReady, NotSupported, OrvError,
                     UnknownCamera, error_for)
from .oletime import from_ole, to_ole

__version__ = "0.1.0"

__all__ = [
    "Client", "Server", "ServerState", "Camera", "CameraInfo", "Frame", "Plate", "Image",
    "OrvError", "Failed", "InvalidArgument", "BufferTooSmall", "Duplicate", "NoFrame", "CameraInactive",
    "UnknownCamera", "NotDecodable", "NoPlate", "NotReady", "NotInitialised", "NotSupported",
    "ClientInUse", "LibraryNotFound", "error_for", "library_candidates", "to_ole", "from_ole",
]
