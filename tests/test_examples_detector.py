"""The demo detector's pieces: generated dataset, model and loss, decoder and evaluator."""
import os
import sys

import numpy as np
import pytest
import tensorflow as tf
import yaml
from PIL import Image

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples"))

from detector.data import CLASSES, generate_dataset  # noqa: E402
from detector.evaluator import CenterNetDecoder, make_evaluator  # noqa: E402
from detector.model import STRIDE, DetectionLoss, build_detector  # noqa: E402


# ---------------------------------------------------------------- generated dataset

@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    root = tmp_path_factory.mktemp("shapes")
    return root, generate_dataset(str(root), n_train=6, n_val=3, seed=5)


def _saturated(image):
    """Pixels of the drawn shapes: backgrounds are nearly grey, shapes strongly coloured."""
    rgb = image.astype(np.int32)
    return rgb.max(axis=2) - rgb.min(axis=2) > 80


def test_description_names_the_written_folders(dataset):
    root, yaml_path = dataset
    with open(yaml_path) as f:
        info = yaml.safe_load(f)
    assert info["type"] == "darknet" and info["classes"] == ["rectangle", "ellipse", "triangle"]
    for split, count in (("train", 6), ("validation", 3)):
        images, labels = info[split]["images"], info[split]["annotations"]
        assert os.path.isabs(images) and os.path.isabs(labels)
        stems = sorted(os.path.splitext(n)[0] for n in os.listdir(images))
        assert len(stems) == count
        assert stems == sorted(os.path.splitext(n)[0] for n in os.listdir(labels))


def test_every_box_is_the_tight_box_of_a_drawn_shape(dataset):
    root, _ = dataset
    sizes = set()
    for split in ("train", "val"):
        folder = os.path.join(str(root), split)
        for name in sorted(os.listdir(os.path.join(folder, "images"))):
            image = np.asarray(Image.open(os.path.join(folder, "images", name)).convert("RGB"))
            height, width = image.shape[:2]
            sizes.add((height, width))
            shape_pixels = _saturated(image)
            with open(os.path.join(folder, "labels", os.path.splitext(name)[0] + ".txt")) as f:
                lines = [line.split() for line in f if line.strip()]
            assert 1 <= len(lines) <= 4
            for cls, *values in lines:
                assert int(cls) in (0, 1, 2) and all(len(v.split(".")[1]) == 6 for v in values)
                xc, yc, w, h = (float(v) for v in values)
                x1, y1 = int(round((xc - w / 2) * width)), int(round((yc - h / 2) * height))
                x2, y2 = int(round((xc + w / 2) * width)), int(round((yc + h / 2) * height))
                inside = shape_pixels[y1:y2, x1:x2]
                assert inside.mean() > 0.3
                # Each side of the box touches the shape (JPEG may soften the outer pixel).
                assert inside[:2].any() and inside[-2:].any() and inside[:, :2].any() and inside[:, -2:].any()
                # Just outside the box there is no shape (shapes are kept apart by 6 pixels).
                ring = np.zeros_like(shape_pixels)
                ring[max(y1 - 4, 0):y2 + 4, max(x1 - 4, 0):x2 + 4] = True
                ring[max(y1 - 2, 0):y2 + 2, max(x1 - 2, 0):x2 + 2] = False
                assert shape_pixels[ring].mean() < 0.02
    assert len(sizes) > 1 and all(160 <= s <= 320 for size in sizes for s in size)


def test_dataset_is_kept_reproduced_and_redone(tmp_path):
    first, second = tmp_path / "a", tmp_path / "b"
    path = generate_dataset(str(first), n_train=2, n_val=1, seed=1)
    label = first / "train" / "labels" / "00000.txt"
    stamp = os.path.getmtime(label)
    assert generate_dataset(str(first), n_train=2, n_val=1, seed=1) == path
    assert os.path.getmtime(label) == stamp  # kept
    generate_dataset(str(second), n_train=2, n_val=1, seed=1)
    assert label.read_text() == (second / "train" / "labels" / "00000.txt").read_text()  # same seed, same data
    generate_dataset(str(first), n_train=3, n_val=1, seed=2)  # new recipe: redone
    assert len(os.listdir(first / "train" / "images")) == 3
    assert label.read_text() != (second / "train" / "labels" / "00000.txt").read_text()


# ---------------------------------------------------------------- model and loss

@pytest.fixture(scope="module")
def small_model():
    return build_detector((64, 64, 3), num_classes=3, width=8, l2=1e-4)


def test_model_outputs_training_heads_first(small_model):
    heat_logits, reg_raw, heat, boxes = small_model(np.random.rand(2, 64, 64, 3).astype(np.float32))
    assert heat_logits.shape == heat.shape == (2, 16, 16, 3) and reg_raw.shape == boxes.shape == (2, 16, 16, 4)
    np.testing.assert_allclose(heat, tf.sigmoid(heat_logits), atol=1e-6)
    assert len(small_model.losses) > 0


@pytest.mark.filterwarnings("ignore:You are saving your model as an HDF5 file")
def test_inference_model_survives_hdf5(small_model, tmp_path):
    exported = tf.keras.Model(small_model.input, small_model.outputs[2:])
    exported.save(str(tmp_path / "m.h5"))
    loaded = tf.keras.models.load_model(str(tmp_path / "m.h5"), compile=False)
    x = np.random.rand(1, 64, 64, 3).astype(np.float32)
    for a, b in zip(exported(x), loaded(x)):
        np.testing.assert_allclose(a, b, atol=1e-5)


def _padded_boxes():
    boxes = np.zeros((3, 4, 5), np.float32)
    boxes[0, 0] = [4, 8, 28, 24, 1]      # rectangle, centre (16, 16) -> cell (4, 4)
    boxes[0, 1] = [40, 36, 60, 62, 3]    # triangle, centre (50, 49) -> cell (12, 12)
    boxes[1, 0] = [10, 30, 30, 50, 2]    # ellipse, centre (20, 40) -> cell (10, 5)
    return boxes                          # image 2 has padding rows only


def test_targets_put_each_object_at_its_centre_cell():
    heat, cells, reg, valid = DetectionLoss(class_offset=1).build_targets(tf.constant(_padded_boxes()), 16, 16, 3)
    heat = heat.numpy()
    assert valid.numpy().tolist() == [[True, True, False, False], [True, False, False, False], [False] * 4]
    peaks = sorted(tuple(int(v) for v in p) for p in np.argwhere(heat == 1.0))
    assert peaks == [(0, 4, 4, 0), (0, 12, 12, 2), (1, 10, 5, 1)]  # (image, row, column, class)
    assert heat[2].max() == 0.0
    np.testing.assert_allclose(reg.numpy()[0, 1], [0.5, 0.25, np.log(5.0), np.log(6.5)], atol=1e-6)


def test_loss_traces_in_a_graph_and_rewards_the_right_answer(small_model):
    loss = DetectionLoss(class_offset=1)
    boxes = tf.constant(_padded_boxes())

    @tf.function
    def step(images, targets):
        with tf.GradientTape() as tape:
            outputs = small_model(images, training=True)
            values = loss.compute_loss(targets, tuple(outputs))
        return values, tape.gradient(values["total-loss"], small_model.trainable_variables)

    values, grads = step(tf.random.uniform((3, 64, 64, 3)), ((boxes,),))
    assert set(values) == {"total-loss", "heatmap-loss", "size-loss", "offset-loss"}
    assert all(v.shape == () and np.isfinite(v.numpy()) for v in values.values())
    assert all(np.all(np.isfinite(g.numpy())) for g in grads if g is not None)

    # Outputs that encode the targets exactly score far better than a blank guess.
    heat, cells, reg, valid = loss.build_targets(boxes, 16, 16, 3)
    perfect_logits = tf.where(heat >= 1.0, 12.0, -12.0)
    raw = np.zeros((3, 16, 16, 4), np.float32)
    for b, n in np.argwhere(valid.numpy()):
        row, col = cells.numpy()[b, n]
        dx, dy, lw, lh = reg.numpy()[b, n]
        dx, dy = np.clip([dx, dy], 1e-4, 1 - 1e-4)
        raw[b, row, col] = [np.log(dx / (1 - dx)), np.log(dy / (1 - dy)), lw, lh]
    good = loss.compute_loss(((boxes,),), (perfect_logits, tf.constant(raw)))
    blank = loss.compute_loss(((boxes,),), (tf.fill(heat.shape, -3.0), tf.zeros((3, 16, 16, 4))))
    assert float(good["total-loss"]) < 0.01 < float(blank["heatmap-loss"])
    assert float(good["size-loss"]) < 1e-4 and float(good["offset-loss"]) < 1e-3


# ---------------------------------------------------------------- decoder and evaluator

def _fixed_output_model(input_size, heat, boxes):
    """A Keras model whose inference outputs are the given constant maps, whatever the image."""
    inputs = tf.keras.Input(shape=(input_size, input_size, 3))
    zero = inputs[:, ::STRIDE, ::STRIDE, :1] * 0.0
    heat_out = zero + tf.constant(heat[None])
    boxes_out = zero + tf.constant(boxes[None])
    return tf.keras.Model(inputs, [heat_out, boxes_out, heat_out, boxes_out])


def test_decoder_keeps_local_peaks_above_the_minimum_score():
    heat = np.zeros((8, 8, 2), np.float32)
    boxes = np.zeros((8, 8, 4), np.float32)
    heat[2, 3, 0], boxes[2, 3] = 0.8, [0.25, 0.5, 12, 8]   # centre (13, 10) in input pixels
    heat[2, 4, 0] = 0.7                                       # its neighbour: not a peak
    heat[6, 6, 1], boxes[6, 6] = 0.3, [0.0, 0.0, 4, 4]        # another class, corner cell
    heat[0, 7, 1] = 0.01                                      # under the minimum score
    decoded_boxes, class_ids, scores = CenterNetDecoder(min_score=0.05)([heat, boxes, heat, boxes])
    np.testing.assert_allclose(decoded_boxes, [[7, 6, 19, 14], [22, 22, 26, 26]])
    assert class_ids.tolist() == [0, 1] and scores.tolist() == pytest.approx([0.8, 0.3])


def test_runner_maps_peaks_back_to_the_original_image():
    heat = np.zeros((32, 32, 3), np.float32)
    boxes = np.zeros((32, 32, 4), np.float32)
    heat[16, 16, 1] = 0.9       # an ellipse centred at input pixel (66, 66)
    boxes[16, 16] = [0.5, 0.5, 32, 16]
    heat[17, 16, 1] = 0.6       # a weaker neighbour: not a local peak, dropped
    heat[2, 30, 2] = 0.04       # under the minimum score, dropped
    runner = make_evaluator(_fixed_output_model(128, heat, boxes), (128, 128, 3), CLASSES).runner
    # A 200 x 100 image is scaled by 0.64 into the 128 x 128 input, with 32 rows of padding on top.
    dt_boxes, labels, scores = runner.run_single_instance(np.zeros((100, 200, 3), np.uint8))
    np.testing.assert_allclose(dt_boxes, [[0.390625, 0.40625, 0.640625, 0.65625]], atol=1e-5)
    assert list(labels) == ["ellipse"] and scores == pytest.approx([0.9])


def test_evaluator_scores_the_untrained_detector_on_generated_images(dataset, small_model, tmp_path):
    """The whole validation path on real files: dataset pictures, the model, the decoder, the
    package's evaluator and its reports."""
    import vireo.quillon.datasets.darknet as darknet

    _, yaml_path = dataset
    data = darknet.DarknetDatasetYaml(yaml_path, [64, 64, 3])
    evaluator = make_evaluator(small_model, (64, 64, 3), CLASSES)(val_messenger=None, labels=data.classes)
    for image, boxes, name in data.build_val_iterator(1):
        boxes = boxes.numpy()[0]
        dt = evaluator.runner.run_single_instance(image.numpy()[0])
        truth = evaluator.single_evaluation({
            "gt_instance": {"image": image.numpy()[0], "boxes": boxes[:, :4],
                            "labels": np.array([data.classes[int(c)] for c in boxes[:, 4]]),
                            "image_path": name.numpy()[0].decode()},
            "dt_instance": {"boxes": dt[0], "labels": dt[1], "scores": dt[2]}}, 0, True)
    metrics = evaluator.conclude(truth, epoch=0)
    assert all(0.0 <= metrics[k][t] <= 1.0 for k in ("mAP", "mAR", "mACC") for t in ("0.5", "0.75", "0.5:0.95"))
    written = evaluator.save_plots_disk(plots=evaluator.current_plots, path=str(tmp_path))
    assert sorted(os.path.basename(p) for p in written) == ["pr_curve.png", "sample_00.png", "sample_01.png",
                                                           "sample_02.png"]
