"""Hypothesis profiles: a short default run, and `--hypothesis-profile=soak` for long runs."""

from hypothesis import settings

settings.register_profile("default", max_examples=30, deadline=None)
settings.register_profile("soak", max_examples=2000, deadline=None)
settings.load_profile("default")

# Until the native whole-book kernel is built into the package, a pure-Python
# stand-in with its interface takes its place (tests only).
import book_standin  # noqa: E402

book_standin.install_if_missing()
