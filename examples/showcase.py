"""Pictures of what the dataset modules serve, for `make demo`: people check a dataset by
looking at it. Each function builds a dataset from generated files, takes a few samples from
its training iterator and saves a PNG with the annotations drawn on top."""
import json
import math
import os

import numpy as np
from PIL import Image, ImageDraw

PALETTE = [(230, 25, 75), (60, 180, 75), (0, 130, 200), (245, 130, 48), (145, 30, 180), (70, 240, 240)]


def _grid(images, columns=4):
    """Tiles equally sized H x W x 3 uint8 images into one picture."""
    rows = int(math.ceil(len(images) / columns))
    h, w = images[0].shape[:2]
    canvas = Image.new("RGB", (columns * w, rows * h), (40, 40, 40))
    for i, image in enumerate(images):
        canvas.paste(Image.fromarray(np.asarray(image, dtype=np.uint8)), ((i % columns) * w, (i // columns) * h))
    return canvas


# --- Detection ------------------------------------------------------------------------------

def draw_detection_batch(images, boxes, classes, path):
    """Saves a training batch (uint8 [B,H,W,3], boxes [B,N,5] in pixels) with its boxes drawn."""
    pictures = []
    for image, rows in zip(np.asarray(images), np.asarray(boxes)):
        picture = Image.fromarray(image)
        draw = ImageDraw.Draw(picture)
        for x1, y1, x2, y2, label in rows:
            if x2 <= x1 or y2 <= y1:  # zero rows pad the batch
                continue
            colour = PALETTE[int(label) % len(PALETTE)]
            draw.rectangle([x1, y1, x2, y2], outline=colour, width=2)
            draw.text((x1 + 2, y1 + 1), str(classes[int(label)]), fill=colour)
        pictures.append(np.asarray(picture))
    _grid(pictures).save(path)
    return path


# --- Head pose ------------------------------------------------------------------------------

def _synthetic_face(size, pitch, yaw, roll, rng):
    """A cartoon face whose features move with the pose (angles in radians)."""
    image = Image.new("RGB", (size, size), tuple(int(v) for v in rng.integers(60, 200, 3)))
    draw = ImageDraw.Draw(image)
    c = size / 2
    r = size * 0.32
    draw.ellipse([c - r, c - r * 1.2, c + r, c + r * 1.2], fill=(224, 182, 150))
    dx, dy = math.sin(yaw) * r * 0.6, -math.sin(pitch) * r * 0.6

    def rotate(x, y):
        s, k = math.sin(roll), math.cos(roll)
        return c + (x - c) * k - (y - c) * s, c + (x - c) * s + (y - c) * k

    for ex in (-0.4, 0.4):
        x, y = rotate(c + ex * r + dx, c - 0.3 * r + dy)
        draw.ellipse([x - r * 0.1, y - r * 0.07, x + r * 0.1, y + r * 0.07], fill=(40, 40, 40))
    x, y = rotate(c + dx * 1.3, c + 0.1 * r + dy * 1.3)
    draw.ellipse([x - r * 0.08, y - r * 0.08, x + r * 0.08, y + r * 0.08], fill=(180, 100, 90))
    x, y = rotate(c + dx, c + 0.55 * r + dy)
    draw.line([x - r * 0.3, y, x + r * 0.3, y], fill=(150, 40, 40), width=3)
    return image


def generate_attitude_dataset(root, count=24, size=160, seed=0):
    """Faces with MATLAB annotations in the 300W-LP layout (Pose_Para 1 x 7 in radians,
    pt2d 2 x 68) and the same faces with JSON annotations (first box + angles)."""
    import scipy.io as sio

    rng = np.random.default_rng(seed)
    layout = {}
    for split in ("train", "validation"):
        folders = {k: os.path.join(root, split, k) for k in ("images", "mat", "json")}
        for folder in folders.values():
            os.makedirs(folder, exist_ok=True)
        for i in range(count if split == "train" else count // 4):
            pitch, yaw, roll = rng.uniform(-0.5, 0.5, 3)
            name = "face_%03d" % i
            _synthetic_face(size, pitch, yaw, roll, rng).save(os.path.join(folders["images"], name + ".jpg"))
            pose = np.array([[pitch, yaw, roll, 0.0, 0.0, 0.0, 1.0]])
            landmarks = rng.uniform(size * 0.2, size * 0.8, (2, 68))
            sio.savemat(os.path.join(folders["mat"], name + ".mat"), {"Pose_Para": pose, "pt2d": landmarks})
            with open(os.path.join(folders["json"], name + ".json"), "w") as f:
                json.dump({"boxes": [[0.5, 0.5, 0.8, 0.9, 0]], "angles": [[pitch, yaw, roll]]}, f)
        layout[split] = folders
    descriptions = {}
    for kind in ("mat", "json"):
        path = os.path.join(root, "attitude_%s.yaml" % kind)
        with open(path, "w") as f:
            json.dump({"classes": ["face"],
                       "train": {"images": layout["train"]["images"], "annotations": layout["train"][kind]},
                       "validation": {"images": layout["validation"]["images"],
                                      "annotations": layout["validation"][kind]}}, f)  # JSON is valid YAML
        descriptions[kind] = path
    return descriptions


def draw_pose_axes(image, pitch, yaw, roll, size=None):
    """Draws the head's x (red), y (green) and z (blue) axes for angles in radians."""
    picture = Image.fromarray(np.asarray(image, dtype=np.uint8))
    draw = ImageDraw.Draw(picture)
    h, w = picture.height, picture.width
    size = size or min(h, w) * 0.35
    cx, cy = w / 2, h / 2
    p, y, r = pitch, -yaw, roll
    axes = [
        ((math.cos(y) * math.cos(r)), (math.cos(p) * math.sin(r) + math.cos(r) * math.sin(p) * math.sin(y)), (255, 0, 0)),
        ((-math.cos(y) * math.sin(r)), (math.cos(p) * math.cos(r) - math.sin(p) * math.sin(y) * math.sin(r)), (0, 255, 0)),
        ((math.sin(y)), (-math.cos(y) * math.sin(p)), (0, 0, 255)),
    ]
    for ax, ay, colour in axes:
        draw.line([cx, cy, cx + size * ax, cy + size * ay], fill=colour, width=3)
    draw.text((3, 3), "p %.0f y %.0f r %.0f" % tuple(math.degrees(v) for v in (pitch, yaw, roll)), fill=(255, 255, 255))
    return np.asarray(picture)


def attitude_showcase(root, shape=(128, 128, 3)):
    """Serves the generated head-pose data through the MATLAB and JSON-crop datasets and saves a
    picture of a few training samples with their angles drawn as axes."""
    from vireo.quillon.datasets.attitude import AttitudeDatasetJsonYaml, AttitudeDatasetYaml

    descriptions = generate_attitude_dataset(root)
    pictures = []
    for cls, kind in ((AttitudeDatasetYaml, "mat"), (AttitudeDatasetJsonYaml, "json")):
        dataset = cls(shape=list(shape), info_file=descriptions[kind])
        images, angles = next(iter(dataset.build_train_iterator(batch_size=4)))
        for image, (pitch, yaw, roll) in zip(images.numpy(), angles.numpy()):
            pictures.append(draw_pose_axes(image, pitch, yaw, roll))
    path = os.path.join(root, "attitude_samples.png")
    _grid(pictures).save(path)
    return path


# --- Segmentation ---------------------------------------------------------------------------

def _random_polygon(rng, cx, cy, radius, points=8):
    angles = np.sort(rng.uniform(0, 2 * math.pi, points))
    radii = radius * rng.uniform(0.6, 1.0, points)
    return [(cx + r * math.cos(a), cy + r * math.sin(a)) for a, r in zip(angles, radii)]


def generate_segmentation_dataset(root, count=16, size=128, seed=0):
    """Polygons of two classes on noisy backgrounds, annotated as per-image JSON (normalised
    outlines) and as one COCO JSON file (pixel outlines) for the training split."""
    rng = np.random.default_rng(seed)
    classes = ["blob", "star"]
    folders = {}
    coco = {"images": [], "annotations": [],
            "categories": [{"id": i + 1, "name": name} for i, name in enumerate(classes)]}
    for split in ("train", "validation"):
        images = os.path.join(root, split, "images")
        annotations = os.path.join(root, split, "annotations")
        os.makedirs(images, exist_ok=True)
        os.makedirs(annotations, exist_ok=True)
        folders[split] = (images, annotations)
        for i in range(count if split == "train" else count // 4):
            noise = rng.integers(0, 255, (size, size, 3), dtype=np.uint8)
            picture = Image.fromarray((noise // 3 + 80).astype(np.uint8))
            draw = ImageDraw.Draw(picture)
            segment = []
            for _ in range(rng.integers(1, 4)):
                cls = int(rng.integers(0, 2))
                outline = _random_polygon(rng, *rng.uniform(size * 0.25, size * 0.75, 2), size * rng.uniform(0.1, 0.25),
                                          points=6 if cls == 0 else 10)
                draw.polygon(outline, fill=PALETTE[cls])
                segment.append([{"polygon": [[x / size, y / size] for x, y in outline], "class": cls}])
                if split == "train":
                    coco["annotations"].append({"id": len(coco["annotations"]) + 1, "image_id": i + 1,
                                                "category_id": cls + 1,
                                                "segmentation": [[v for point in outline for v in point]]})
            name = "sample_%03d.jpg" % i
            picture.save(os.path.join(images, name), quality=95)
            with open(os.path.join(annotations, name[:-4] + ".json"), "w") as f:
                json.dump({"image": name, "segment": segment}, f)
            if split == "train":
                coco["images"].append({"id": i + 1, "file_name": name, "width": size, "height": size})
    description = os.path.join(root, "segmentation.yaml")
    with open(description, "w") as f:
        json.dump({"classes": classes,
                   "train": {"images": folders["train"][0], "annotations": folders["train"][1]},
                   "validation": {"images": folders["validation"][0], "annotations": folders["validation"][1]}}, f)
    coco_path = os.path.join(root, "coco_train.json")
    with open(coco_path, "w") as f:
        json.dump(coco, f)
    return description, coco_path, folders["train"][0]


def colour_mask(mask):
    """A class mask as a picture: background black, class c in a colour of its own."""
    colours = np.array([(0, 0, 0), (255, 255, 255), (255, 200, 0), (0, 200, 255)], dtype=np.uint8)
    return colours[np.asarray(mask) % len(colours)]


def segmentation_showcase(root, shape=(128, 128, 3)):
    """Serves the generated polygons through the YAML and COCO segmentation datasets and saves
    a picture of a few augmented training samples, each followed by its class mask."""
    from vireo.quillon.datasets.segmentation import SegmentationDatasetJsonCOCO, SegmentationDatasetYaml

    description, coco_path, train_images = generate_segmentation_dataset(root)
    per_image = SegmentationDatasetYaml(description, shape=list(shape), tasks=["segment"], num_points=100)
    coco = SegmentationDatasetJsonCOCO(coco_path, train_images=train_images, shape=list(shape), num_points=100)
    pictures = []
    for dataset in (per_image, coco):
        images, masks = next(iter(dataset.build_train_iterator(batch_size=4)))
        for image, mask in zip(images.numpy(), masks.numpy()):
            pictures.extend([image, colour_mask(mask)])
    path = os.path.join(root, "segmentation_samples.png")
    _grid(pictures).save(path)
    return path
