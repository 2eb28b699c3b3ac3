"""Pytest plugin for runs under valgrind (tools/memcheck.sh): everything is some 30 times slower there,
so property tests drop their deadline and run fewer examples, and keep no example database."""

from hypothesis import HealthCheck, settings

settings.register_profile("memcheck", deadline=None, max_examples=20, database=None,
                          suppress_health_check=list(HealthCheck))
settings.load_profile("memcheck")
