"""Fixtures shared by the test modules."""

import datetime
import signal

import pytest

# A suite started in the background (`cmd &`, nohup) inherits SIGINT ignored,
# and so would every tool it starts, which would then never see the Ctrl-C
# that tests send: handled here, it is delivered as usual again after exec.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


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
