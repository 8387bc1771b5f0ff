"""Fixtures of the swupdate tier; the board itself is in swupdate_board.py."""
import pytest

from swupdate_board import Board, make_keys


@pytest.fixture(scope="session")
def keys(tmp_path_factory):
    return make_keys(tmp_path_factory.mktemp("keys"))


@pytest.fixture
def board(tmp_path, keys):
    made = Board(tmp_path, keys)
    yield made
    made.cleanup()
