"""Process-wide settings that the market-data classes read at each use."""

from __future__ import annotations

import datetime

__all__ = ["Profile", "PROFILE"]


class Profile:
    """Settings shared by every component of a process.

    ``time_zone`` is the zone in which bar and record times are expressed as
    date-times: a ``datetime.tzinfo``, or None for the machine's local time.
    """

    __slots__ = ("_time_zone",)

    def __init__(self, time_zone: datetime.tzinfo | None = datetime.timezone.utc) -> None:
        self.time_zone = time_zone

    @property
    def time_zone(self) -> datetime.tzinfo | None:
        return self._time_zone

    @time_zone.setter
    def time_zone(self, value: datetime.tzinfo | None) -> None:
        if value is not None and not isinstance(value, datetime.tzinfo):
            raise TypeError(
                f"time_zone must be a datetime.tzinfo or None, not {type(value).__name__}"
            )
        self._time_zone = value

    def __repr__(self) -> str:
        return f"Profile(time_zone={self._time_zone!r})"


PROFILE = Profile()
