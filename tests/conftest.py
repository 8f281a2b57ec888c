"""Shared test configuration: Hypothesis profiles.

The "sanitize" profile is for runs under AddressSanitizer (tools/sanitize.sh), where everything is
several times slower: no deadlines, and fewer examples for tests that do not fix their own count.
"""

from hypothesis import HealthCheck, settings

settings.register_profile(
    "sanitize",
    max_examples=30,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
