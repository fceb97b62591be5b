"""OLE dates, result codes and the library lookup, without a server."""

from __future__ import annotations

from datetime import datetime, timedelta, timezone
import re
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


def header_codes():
    """(code, name, text) of every ORV_E_* result code in the C header."""
    header = (Path(__file__).resolve().parents[2] / "include" / "orv_sdk.h").read_text()
    values = {name: int(value) for name, value in re.findall(r"#define (ORV_E_\w+) \((-\d+)\)", header)}
    texts = dict(re.findall(r'X\((ORV_E_\w+), "([^"]*)"\)', header))
    assert values and values.keys() == texts.keys()
    return [(values[name], name, texts[name]) for name in values]


@pytest.mark.parametrize("code,name,text", header_codes() + [(-77, "ORV_RESULT(-77)", "result code not defined")])
def test_every_header_code_has_its_exception(code, name, text):
    error = orv_sdk.error_for(code, "camera 3")
    assert (type(error) is orv_sdk.OrvError) == (code == -77)  # a class of its own for every header code
    assert (error.code, error.name) == (code, name)
    assert str(error).startswith(f"camera 3: {name} ({code}): {text}")


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
