import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("VIEW_BUILD_DIR", os.path.join(ROOT, "build"))
if BUILD not in sys.path:
    sys.path.insert(0, BUILD)
