"""Fixtures shared by the test modules."""

import datetime

import pytest


@pytest.fixture
def utc_profile():
    """The process profile with its zone set to UTC; the zone is restored afterwards."""
    from tarnwick.profile import PROFILE

    saved = PROFILE.time_zone
    PROFILE.time_zone = datetime.timezone.utc
    try:
        yield PROFILE
    finally:
        PROFILE.time_zone = saved
