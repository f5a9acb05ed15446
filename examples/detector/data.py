"""A generated detection dataset in Darknet layout: coloured shapes on noisy backgrounds.

Each image has a low-saturation, noisy background and 1 to 4 saturated shapes (rectangle,
ellipse, triangle) that never touch each other, so every shape is fully visible and its box is
the tight box of its own pixels. Files written under `root`:

    root/dataset.yaml                 description read by the Darknet dataset
    root/train/images/00000.jpg ...   JPEG images
    root/train/labels/00000.txt ...   one line per object: class xc yc w h (normalised, 6 decimals)
    root/val/images, root/val/labels  the same for the validation split
"""
import os
import shutil

import cv2
import numpy as np
import yaml
from PIL import Image

CLASSES = ["rectangle", "ellipse", "triangle"]

# Bumped whenever the drawing changes, so datasets written by an older generator are redone.
GENERATOR_VERSION = 1

MIN_SIDE, MAX_SIDE = 160, 320
MAX_OBJECTS = 4
MARGIN = 6  # pixels kept free between the boxes of two shapes


def _background(rng, height, width):
    """A grey-ish, slightly tinted gradient with pixel noise (saturation stays low)."""
    base = rng.uniform(95, 185) + rng.uniform(-12, 12, size=3)
    ramp_y = np.linspace(-1.0, 1.0, height)[:, None, None] * rng.uniform(-20, 20)
    ramp_x = np.linspace(-1.0, 1.0, width)[None, :, None] * rng.uniform(-20, 20)
    noise = rng.normal(0.0, rng.uniform(4, 12), size=(height, width, 3))
    return np.clip(base + ramp_y + ramp_x + noise, 0, 255)


def _shape_colour(rng):
    """A saturated RGB colour (HSV saturation >= 0.75, value >= 0.6)."""
    hsv = np.uint8([[[rng.integers(0, 180), rng.integers(192, 256), rng.integers(153, 256)]]])
    return cv2.cvtColor(hsv, cv2.COLOR_HSV2RGB)[0, 0].astype(np.float64)


def _shape_mask(rng, cls, height, width, x0, y0, w, h):
    """Pixels of one shape of class `cls` drawn inside the box (x0, y0, w, h)."""
    mask = np.zeros((height, width), np.uint8)
    if cls == 0:
        cv2.rectangle(mask, (x0, y0), (x0 + w - 1, y0 + h - 1), 1, thickness=-1)
    elif cls == 1:
        cv2.ellipse(mask, (x0 + w // 2, y0 + h // 2), (w // 2, h // 2), 0, 0, 360, 1, thickness=-1)
    else:
        # One vertex on the top edge, one at the bottom-left, one on the right edge's lower half.
        top = (x0 + int(rng.uniform(0.0, 1.0) * (w - 1)), y0)
        bottom_left = (x0, y0 + h - 1)
        right = (x0 + w - 1, y0 + int(rng.uniform(0.5, 1.0) * (h - 1)))
        if rng.random() < 0.5:  # mirror left-right for variety
            top = (2 * x0 + w - 1 - top[0], top[1])
            bottom_left = (x0 + w - 1, bottom_left[1])
            right = (x0, right[1])
        cv2.fillPoly(mask, [np.array([top, bottom_left, right], np.int32)], 1)
    return mask.astype(bool)


def render_sample(rng):
    """Draws one image. Returns (RGB uint8 image, list of (class, x_min, y_min, x_max, y_max))
    with the box the tight box of the shape's pixels (x_max, y_max exclusive)."""
    height, width = (int(v) for v in rng.integers(MIN_SIDE, MAX_SIDE + 1, size=2))
    image = _background(rng, height, width)
    taken = []
    objects = []
    wanted = int(rng.integers(1, MAX_OBJECTS + 1))
    for _ in range(40):  # placement attempts
        if len(objects) == wanted:
            break
        side = min(height, width)
        w = int(rng.uniform(0.14, 0.42) * side)
        h = int(np.clip(w * rng.uniform(0.6, 1.6), 0.12 * side, 0.45 * side))
        x0 = int(rng.integers(2, width - w - 1))
        y0 = int(rng.integers(2, height - h - 1))
        if any(x0 < bx1 + MARGIN and bx0 < x0 + w + MARGIN and y0 < by1 + MARGIN and by0 < y0 + h + MARGIN
               for bx0, by0, bx1, by1 in taken):
            continue
        cls = int(rng.integers(0, len(CLASSES)))
        mask = _shape_mask(rng, cls, height, width, x0, y0, w, h)
        ys, xs = np.nonzero(mask)
        image[mask] = _shape_colour(rng) + rng.normal(0.0, 3.0, size=(len(ys), 3))
        taken.append((x0, y0, x0 + w, y0 + h))
        objects.append((cls, int(xs.min()), int(ys.min()), int(xs.max()) + 1, int(ys.max()) + 1))
    return np.clip(image, 0, 255).astype(np.uint8), objects


def darknet_lines(objects, width, height):
    """Darknet annotation lines `class xc yc w h`, normalised to the image size."""
    lines = []
    for cls, x_min, y_min, x_max, y_max in objects:
        lines.append("%d %.6f %.6f %.6f %.6f" % (
            cls, (x_min + x_max) / 2.0 / width, (y_min + y_max) / 2.0 / height,
            (x_max - x_min) / width, (y_max - y_min) / height))
    return lines


def _write_split(root, split, split_id, count, seed):
    images_dir = os.path.join(root, split, "images")
    labels_dir = os.path.join(root, split, "labels")
    shutil.rmtree(os.path.join(root, split), ignore_errors=True)
    os.makedirs(images_dir)
    os.makedirs(labels_dir)
    for index in range(count):
        # One generator per image, so any image can be redrawn on its own.
        rng = np.random.default_rng([seed, split_id, index])
        image, objects = render_sample(rng)
        stem = "%05d" % index
        Image.fromarray(image).save(os.path.join(images_dir, stem + ".jpg"), quality=92)
        with open(os.path.join(labels_dir, stem + ".txt"), "w") as f:
            f.write("\n".join(darknet_lines(objects, image.shape[1], image.shape[0])) + "\n")
    return {"images": images_dir, "annotations": labels_dir}


def _is_current(yaml_path, recipe):
    """True when `yaml_path` describes a complete dataset made with `recipe`."""
    if not os.path.exists(yaml_path):
        return False
    with open(yaml_path) as f:
        info = yaml.safe_load(f) or {}
    if info.get("generator") != recipe:
        return False
    for split, key in (("train", "n_train"), ("validation", "n_val")):
        folders = info.get(split) or {}
        for folder in (folders.get("images"), folders.get("annotations")):
            if folder is None or not os.path.isdir(folder) or len(os.listdir(folder)) != recipe[key]:
                return False
    return True


def generate_dataset(root, n_train=300, n_val=100, seed=0, regenerate=False):
    """Writes the dataset under `root` (kept between runs) and returns the description YAML path.

    The dataset is redone when `regenerate` is true or when the YAML's recorded recipe (seed,
    sizes, generator version) differs or files are missing. The same seed gives the same files.
    """
    root = os.path.abspath(root)
    yaml_path = os.path.join(root, "dataset.yaml")
    recipe = {"seed": int(seed), "n_train": int(n_train), "n_val": int(n_val), "version": GENERATOR_VERSION}
    if not regenerate and _is_current(yaml_path, recipe):
        return yaml_path
    os.makedirs(root, exist_ok=True)
    if os.path.exists(yaml_path):
        os.remove(yaml_path)  # a half-written dataset must not look complete
    info = {
        "type": "darknet",
        "classes": list(CLASSES),
        "train": _write_split(root, "train", 0, n_train, seed),
        "validation": _write_split(root, "val", 1, n_val, seed),
        "generator": recipe,
    }
    with open(yaml_path, "w") as f:
        yaml.safe_dump(info, f, sort_keys=False)
    return yaml_path
