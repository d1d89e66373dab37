"""Helpers shared by the Python tests."""
import re

import pytest


def raises(exc, text):
    """pytest.raises for an exception whose message is exactly `text`."""
    return pytest.raises(exc, match="^" + re.escape(text) + "$")
