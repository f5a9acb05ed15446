"""Reporting of dataset folders that are missing on this system."""


def flow_inspection(message):
    """Reports a missing dataset folder by raising ``FileNotFoundError(message)``."""
    raise FileNotFoundError(message)
