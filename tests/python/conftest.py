"""Fixtures the Python tests share."""

import os

import pytest


@pytest.fixture(scope="session")
def host():
    """The veltrane command line the build made (VELTRANE_HOST), or the test is skipped."""
    path = os.environ.get("VELTRANE_HOST")
    if not path or not os.path.exists(path):
        pytest.skip("the veltrane command line is not built (VELTRANE_HOST)")
    return path
