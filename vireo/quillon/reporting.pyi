"""Reporting of dataset folders that are missing on this system."""

from typing import NoReturn

def flow_inspection(message: str) -> NoReturn:
    """Reports a missing dataset folder.

    Args:
        message: what is missing, and where.

    Raises:
        FileNotFoundError: always, with ``message``.
    """
