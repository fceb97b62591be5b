"""OLE Automation dates: days since 1899-12-30 00:00 as a float, the time of day as
the fraction (1970-01-01 00:00 is 25569.0). The library's times have millisecond
resolution; conversions round to the millisecond."""

from __future__ import annotations

from datetime import datetime, timedelta, timezone, tzinfo

__all__ = ["OLE_UNIX_EPOCH", "to_ole", "from_ole"]

OLE_UNIX_EPOCH = 25569.0
_MS_PER_DAY = 86_400_000
_EPOCH = datetime(1970, 1, 1)
_MS = timedelta(milliseconds=1)


def to_ole(moment: datetime) -> float:
    """An OLE date of `moment`. An aware datetime is converted to UTC first; a naive
    one is taken as the wall-clock time it shows (no conversion)."""
    if moment.tzinfo is not None:
        moment = moment.astimezone(timezone.utc).replace(tzinfo=None)
    milliseconds = round((moment - _EPOCH) / _MS)
    return OLE_UNIX_EPOCH + milliseconds / _MS_PER_DAY


def from_ole(value: float, tz: tzinfo | None = timezone.utc) -> datetime:
    """The datetime of an OLE date. With `tz` (UTC unless given) the value is read as
    a time in UTC and the result is aware, converted to `tz`; with tz=None the result
    is the naive wall-clock time the value holds (plate times are the server's local
    time)."""
    moment = _EPOCH + round((value - OLE_UNIX_EPOCH) * _MS_PER_DAY) * _MS
    if tz is None:
        return moment
    return moment.replace(tzinfo=timezone.utc).astimezone(tz)
