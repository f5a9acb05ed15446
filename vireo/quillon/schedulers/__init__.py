"""vireo.quillon.schedulers."""
