"""Shared test configuration: Hypothesis profiles, and Ctrl-C handled as usual.

The "sanitize" profile is for runs under AddressSanitizer (tools/sanitize.sh), where everything is
several times slower: no deadlines, and fewer examples for tests that do not fix their own count.

A shell starts background commands with SIGINT ignored, and a process keeps (and hands on) an
ignored signal: the tests of Ctrl-C then see nothing happen. They test vestrim's handling of the
signal, so the usual handler is put back.
"""

import signal

from hypothesis import HealthCheck, settings

if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

settings.register_profile(
    "sanitize",
    max_examples=30,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
