"""OLE dates, result codes and the library lookup, without a server."""

from __future__ import annotations

from datetime import datetime, timedelta, timezone
from pathlib import Path

import pytest

import orv_sdk
from orv_sdk import from_ole, to_ole

UTC = timezone.utc
PLUS2 = timezone(timedelta(hours=2))

OLE = [  # datetime, OLE date
    (datetime(1899, 12, 30, tzinfo=UTC), 0.0),
    (datetime(1970, 1, 1, tzinfo=UTC), 25569.0),
    (datetime(1970, 1, 1, 18, tzinfo=UTC), 25569.75),
    (datetime(2026, 12, 8, 10, 0, 0, 123000, tzinfo=UTC), 46364 + (36000.123 / 86400)),
    (datetime(2026, 12, 8, 12, 0, 0, 123000, tzinfo=PLUS2), 46364 + (36000.123 / 86400)),
    (datetime(2026, 12, 8, 10, 0, 0, 123000), 46364 + (36000.123 / 86400)),  # naive: as shown
]


@pytest.mark.parametrize("moment,ole", OLE)
def test_ole_dates_both_ways(moment, ole):
    assert to_ole(moment) == pytest.approx(ole, abs=1e-9)
    back = from_ole(ole, tz=None if moment.tzinfo is None else UTC)
    assert back == moment and (back.tzinfo is None) == (moment.tzinfo is None)


def test_ole_dates_round_to_the_millisecond():
    moment = datetime(2026, 12, 8, 10, 0, 0, 123456, tzinfo=UTC)
    assert from_ole(to_ole(moment)) == moment.replace(microsecond=123000)
    assert from_ole(to_ole(moment) + 0.4 / 86_400_000) == moment.replace(microsecond=123000)
    assert from_ole(25569.0, tz=PLUS2).isoformat() == "1970-01-01T02:00:00+02:00"


CODES = [(-1, orv_sdk.Failed, "ORV_E_FAILED"), (-6, orv_sdk.BufferTooSmall, "ORV_E_BUFFER_TOO_SMALL"),
         (-8, orv_sdk.NoFrame, "ORV_E_NO_FRAME"), (-21, orv_sdk.NotDecodable, "ORV_E_NOT_DECODABLE"),
         (-300, orv_sdk.NoPlate, "ORV_E_NO_PLATE"), (-510, orv_sdk.NotReady, "ORV_E_NOT_READY"),
         (-600, orv_sdk.NotSupported, "ORV_E_NOT_SUPPORTED"), (-77, orv_sdk.OrvError, "ORV_RESULT(-77)")]


@pytest.mark.parametrize("code,cls,name", CODES)
def test_result_codes(code, cls, name):
    error = orv_sdk.error_for(code, "camera 3")
    assert type(error) is cls and (error.code, error.name) == (code, name)
    assert str(error).startswith(f"camera 3: {name} ({code})")


def test_library_lookup(monkeypatch, tmp_path):
    package_library = Path(orv_sdk.__file__).parent / "libOrvSdk.so"
    assert orv_sdk.library_candidates()[0] == package_library
    monkeypatch.setenv("ORV_SDK_LIBRARY", str(tmp_path))
    assert orv_sdk.library_candidates() == [tmp_path / "libOrvSdk.so"]
    (tmp_path / "libOrvSdk.so").write_bytes(b"not a library")
    for library, reason in ((None, ""), (tmp_path / "missing.so", "no such file")):
        with pytest.raises(orv_sdk.LibraryNotFound) as raised:
            orv_sdk.Client(library)
        tried = tmp_path / ("libOrvSdk.so" if library is None else "missing.so")
        assert f"{tried}: " in str(raised.value) and reason in str(raised.value)
