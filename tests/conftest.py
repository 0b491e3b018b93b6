"""Hypothesis profiles: a short default run, and `--hypothesis-profile=soak` for long runs."""

from hypothesis import settings

settings.register_profile("default", max_examples=30, deadline=None)
settings.register_profile("soak", max_examples=2000, deadline=None)
settings.load_profile("default")
