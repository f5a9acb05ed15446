"""Stand-alone check that the detector learns the generated dataset, without the trainer.

Reads the Darknet files with Pillow and the project's letterbox (as the Darknet dataset does),
trains with a gradient-tape step shaped like the trainer's (images / 255, all outputs to
`compute_loss`, L2 from `model.losses`), then validates with `DetectionEvaluator` the way the
trainer does. Run: `python examples/detector/check_learning.py [out_dir]`.
"""
import glob
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import vireo  # noqa: E402,F401  (before TensorFlow: tf.keras must be tf-keras)
import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402
import yaml  # noqa: E402
from PIL import Image  # noqa: E402

from vireo.quillon.datasets.utils import letterbox, xywhn2xyxy  # noqa: E402

from detector import DEMO_CONFIG  # noqa: E402
from detector.data import CLASSES, generate_dataset  # noqa: E402
from detector.evaluator import DetectionEvaluator  # noqa: E402
from detector.model import DetectionLoss, build_detector  # noqa: E402


def _annotations(path):
    rows = np.loadtxt(path, ndmin=2) if os.path.getsize(path) else np.zeros((0, 5))
    return rows


def load_training_split(images_dir, labels_dir, shape, class_offset=1, max_objects=8):
    """Letterboxed uint8 images [N, H, W, 3] and zero-padded boxes [N, max_objects, 5] in pixels."""
    images, boxes = [], []
    for path in sorted(glob.glob(os.path.join(images_dir, "*.jpg"))):
        img = np.asarray(Image.open(path).convert("RGB"))
        oh, ow = img.shape[:2]
        img, ratio, pad = letterbox(img, shape[:2], auto=False)
        ann = _annotations(os.path.join(labels_dir, os.path.splitext(os.path.basename(path))[0] + ".txt"))
        ann = np.roll(ann, 4, axis=1)
        xyxy = xywhn2xyxy(ann, ratio[0] * ow, ratio[1] * oh, padw=pad[0], padh=pad[1])
        xyxy[:, 4] += class_offset
        padded = np.zeros((max_objects, 5), np.float32)
        padded[:len(xyxy)] = xyxy[:max_objects]
        images.append(img)
        boxes.append(padded)
    return np.stack(images), np.stack(boxes)


def load_validation_split(images_dir, labels_dir):
    """(image, normalised xyxy boxes, class names, file name) per validation sample."""
    samples = []
    for path in sorted(glob.glob(os.path.join(images_dir, "*.jpg"))):
        img = np.asarray(Image.open(path).convert("RGB"))
        ann = _annotations(os.path.join(labels_dir, os.path.splitext(os.path.basename(path))[0] + ".txt"))
        xyxy = xywhn2xyxy(np.roll(ann, 4, axis=1), 1.0, 1.0)
        samples.append((img, np.clip(xyxy[:, :4], 0, 1), np.array([CLASSES[int(c)] for c in ann[:, 0]]),
                        os.path.basename(path)))
    return samples


def validate(evaluator, samples, epoch, display=4):
    """One validation pass shaped like the trainer's."""
    truth = None
    for i, (img, boxes, labels, name) in enumerate(samples):
        dt_boxes, dt_labels, dt_scores = evaluator.runner.run_single_instance(img)
        instances = {
            "gt_instance": {"image": img, "height": img.shape[0], "width": img.shape[1], "boxes": boxes,
                            "labels": labels, "image_path": name},
            "dt_instance": {"boxes": dt_boxes, "labels": dt_labels, "scores": dt_scores},
        }
        truth = evaluator.single_evaluation(instances, epoch, i < display)
    return evaluator.conclude(truth, epoch=epoch)


def main(out_dir="/tmp/detector_check", config=None):
    config = dict(DEMO_CONFIG, **(config or {}))
    tf.random.set_seed(config["seed"])
    shape = config["input_shape"]
    start = time.time()
    info = generate_dataset(os.path.join(out_dir, "dataset"), config["n_train"], config["n_val"], config["seed"])
    with open(info) as f:
        desc = yaml.safe_load(f)
    images, boxes = load_training_split(desc["train"]["images"], desc["train"]["annotations"], shape)
    val_samples = load_validation_split(desc["validation"]["images"], desc["validation"]["annotations"])
    print("data ready in %.1fs: %d train, %d val" % (time.time() - start, len(images), len(val_samples)))

    model = build_detector(shape, len(CLASSES), width=config["width"], l2=config["l2"])
    loss = DetectionLoss(class_offset=1)
    steps_per_epoch = int(np.ceil(len(images) / config["batch_size"]))
    total_steps = steps_per_epoch * config["epochs"]
    # One epoch of linear warm-up to the peak rate, then cosine decay (as WarmUpCosineDecay does).
    schedule = tf.keras.optimizers.schedules.CosineDecay(
        config["learning_rate"] * 0.02, total_steps - steps_per_epoch, alpha=0.02,
        warmup_target=config["learning_rate"], warmup_steps=steps_per_epoch)
    optimizer = tf.keras.optimizers.Adam(schedule)

    @tf.function
    def train_step(batch_images, batch_boxes):
        with tf.GradientTape() as tape:
            outputs = model(tf.cast(batch_images, tf.float32) / 255.0, training=True)
            losses = loss.compute_loss(((batch_boxes,),), tuple(outputs))
            full = losses["total-loss"] + tf.reduce_sum(model.losses)
        grads = tape.gradient(full, model.trainable_variables)
        optimizer.apply_gradients(zip(grads, model.trainable_variables))
        return losses

    def flip(img, bx):
        # Horizontal flip half of the time; padding rows stay all zero.
        do = tf.random.uniform([]) < 0.5
        w = tf.cast(tf.shape(img)[1], tf.float32)
        fl = tf.stack([w - bx[:, 2], bx[:, 1], w - bx[:, 0], bx[:, 3], bx[:, 4]], 1)
        fl = tf.where(bx[:, 4:5] > 0, fl, bx)
        return tf.cond(do, lambda: (tf.reverse(img, [1]), fl), lambda: (img, bx))

    ds = (tf.data.Dataset.from_tensor_slices((images, boxes)).shuffle(len(images), seed=config["seed"])
          .map(flip).batch(config["batch_size"]).prefetch(2))
    evaluator = DetectionEvaluator(model, shape, classes=CLASSES)(val_messenger=None,
                                                                  labels=["background"] + CLASSES)
    train_start = time.time()
    for epoch in range(1, config["epochs"] + 1):
        for batch_images, batch_boxes in ds:
            losses = train_step(batch_images, batch_boxes)
        print("epoch %d  %s  (%.0fs)" % (epoch, "  ".join("%s %.3f" % (k, float(v)) for k, v in losses.items()),
                                         time.time() - train_start), flush=True)
    train_time = time.time() - train_start
    val_start = time.time()
    metrics = validate(evaluator, val_samples, config["epochs"])
    val_time = time.time() - val_start
    evaluator.save_plots_disk(plots=evaluator.current_plots, path=os.path.join(out_dir, "validation"))
    print(evaluator.current_summary)
    print("training %.0fs, validation %.1fs, total %.0fs" % (train_time, val_time, time.time() - start))
    return metrics


if __name__ == "__main__":
    main(*sys.argv[1:2])
