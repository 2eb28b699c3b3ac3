"""Process-wide settings that the market-data classes read at each use."""

import datetime

__all__ = ["Profile", "PROFILE"]

class Profile:
    """Settings shared by every component of a process.

    ``time_zone`` is the zone in which bar and record times are expressed as
    date-times: a ``datetime.tzinfo``, or None for the machine's local time.
    """

    def __init__(self, time_zone: datetime.tzinfo | None = ...) -> None: ...
    @property
    def time_zone(self) -> datetime.tzinfo | None: ...
    @time_zone.setter
    def time_zone(self, value: datetime.tzinfo | None) -> None: ...

PROFILE: Profile
