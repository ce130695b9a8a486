import pytest

import harness


@pytest.fixture(scope="session")
def world():
    """One Wine prefix, one server and one installer build for the whole session."""
    world = harness.World.create(harness.ROOT / "build" / "e2e")
    yield world
    world.close()
