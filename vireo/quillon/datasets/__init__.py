"""vireo.quillon.datasets."""
