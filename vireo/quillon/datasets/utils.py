"""Array helpers shared by the dataset modules: letterbox resizing and box/outline mapping."""
import cv2
import numpy as np


def letterbox(image, new_shape=(640, 640), color=(114, 114, 114), auto=False, scaleup=True, stride=32):
    """Resizes `image` to fit `new_shape` (height, width) keeping its aspect ratio, centred on
    a border of `color`.

    Returns ``(image, ratio, pad)``: ``ratio`` = (width scale, height scale) and ``pad`` =
    (left, top) offsets in pixels of the scaled picture inside the new image. With `auto`,
    the padding is reduced to the smallest multiple of `stride`. Each scaled side is at least
    one pixel, so images of extreme aspect ratio still fit.
    """
    if isinstance(new_shape, int):
        new_shape = (new_shape, new_shape)
    height, width = image.shape[:2]
    r = min(new_shape[0] / height, new_shape[1] / width)
    if not scaleup:
        r = min(r, 1.0)
    # At least one pixel per side: a 1 x 5000 image must not scale to an empty one.
    new_unpad = (max(1, int(round(width * r))), max(1, int(round(height * r))))
    dw, dh = new_shape[1] - new_unpad[0], new_shape[0] - new_unpad[1]
    if auto:
        dw, dh = np.mod(dw, stride), np.mod(dh, stride)
    if (width, height) != new_unpad:
        image = cv2.resize(image, new_unpad, interpolation=cv2.INTER_LINEAR)
    left, top = dw // 2, dh // 2
    image = cv2.copyMakeBorder(image, top, dh - top, left, dw - left, cv2.BORDER_CONSTANT, value=color)
    if image.ndim == 2:  # copyMakeBorder keeps the channel axis only for 3-D input
        image = image[..., None]
    return image, (new_unpad[0] / width, new_unpad[1] / height), (left, top)


def xywhn2xyxy(x, w=640, h=640, padw=0, padh=0):
    """Normalised centre/size boxes (N x 4+) to pixel corners; further columns are copied."""
    y = np.copy(x)
    y[:, 0] = w * (x[:, 0] - x[:, 2] / 2) + padw
    y[:, 1] = h * (x[:, 1] - x[:, 3] / 2) + padh
    y[:, 2] = w * (x[:, 0] + x[:, 2] / 2) + padw
    y[:, 3] = h * (x[:, 1] + x[:, 3] / 2) + padh
    return y


def mask_padding(polygon, w=640, h=640, padw=0, padh=0):
    """Normalised (x, y) outline points to pixels of the resized image."""
    points = np.asarray(polygon, dtype=np.float64)
    return points * np.array([w, h], dtype=np.float64) + np.array([padw, padh], dtype=np.float64)
