import importlib

import pytest


@pytest.fixture(scope="session")
def hooks():
    """The test-only entry points into the binding layer."""
    return importlib.import_module("_quenlith_testhooks")
