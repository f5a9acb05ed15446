"""vireo.verdane: training front-end helpers."""
