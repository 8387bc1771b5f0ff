"""Fixtures of the swupdate tier; the board itself is in swupdate_board.py."""
from swupdate_board import board, keys  # noqa: F401  (fixtures)
