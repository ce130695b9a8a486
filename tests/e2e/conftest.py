import pytest

import harness


def pytest_configure(config):
    config.addinivalue_line("markers",
                            'large: moves gigabytes through Wine; deselect with -m "not large"')


@pytest.fixture(scope="session")
def world():
    """One Wine prefix, one server and one installer build for the whole session."""
    world = harness.World.create(harness.ROOT / "build" / "e2e")
    yield world
    world.close()
