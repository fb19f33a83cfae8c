import pytest

import zudizid


@pytest.fixture
def graph():
    """A fresh in-memory graph, closed after the test."""
    g = zudizid.Graph.in_memory()
    yield g
    g.close()


@pytest.fixture
def db_path(tmp_path):
    """A database directory path that does not exist yet."""
    return str(tmp_path / "db")
