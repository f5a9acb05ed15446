"""vireo.quillon.trainer."""
