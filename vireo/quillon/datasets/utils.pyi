"""Array helpers shared by the dataset modules: letterbox resizing and box/outline mapping."""

from typing import Sequence, Union

import numpy as np

def letterbox(image: np.ndarray, new_shape: Union[int, Sequence[int]] = (640, 640),
              color: tuple[int, int, int] = (114, 114, 114), auto: bool = False, scaleup: bool = True,
              stride: int = 32) -> tuple[np.ndarray, tuple[float, float], tuple[int, int]]:
    """Resizes ``image`` to fit ``new_shape`` (height, width), keeping its aspect ratio, centred
    on a border of ``color``.

    Args:
        image: H x W (x C) array.
        new_shape: output height and width, or one size for both.
        color: border colour.
        auto: reduce the padding to the smallest multiple of ``stride``.
        scaleup: allow enlarging (else only shrinking).
        stride: see ``auto``.

    Returns:
        tuple: ``(image, (width scale, height scale), (left, top))``: the resized image and
        where the scaled picture lies inside it.
    """

def xywhn2xyxy(x: np.ndarray, w: float = 640, h: float = 640, padw: float = 0, padh: float = 0) -> np.ndarray:
    """Normalised centre/size boxes (N x 4+) to pixel corners; further columns are copied.

    Args:
        x: rows of x_centre, y_centre, width, height (divided by the image size), ...
        w: image width in pixels.
        h: image height in pixels.
        padw: added to the x coordinates.
        padh: added to the y coordinates.

    Returns:
        np.ndarray: rows of x_min, y_min, x_max, y_max, ...
    """

def mask_padding(polygon: np.ndarray, w: float = 640, h: float = 640, padw: float = 0,
                 padh: float = 0) -> np.ndarray:
    """Normalised (x, y) outline points to pixels of the resized image.

    Args:
        polygon: N x 2 points divided by the image size.
        w: width scale in pixels.
        h: height scale in pixels.
        padw: added to x.
        padh: added to y.

    Returns:
        np.ndarray: float64 N x 2 points in pixels.
    """
