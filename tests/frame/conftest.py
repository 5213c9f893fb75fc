"""Fixtures of the frame tests; the helpers live in frame_support."""
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture(scope="session")
def vfile():
    import View.file
    return View.file


@pytest.fixture(scope="session")
def vsched():
    import View.scheduler
    return View.scheduler
