#!/usr/bin/env bash
# Installs vireo-quillon as a user would, from wheels into a fresh virtual environment, and runs
# the quickstart there: a Darknet dataset read from disk, one epoch of DetectionTrainer with the
# schedule, the TensorBoard logger and the packaged evaluator, and the files it must leave.
#
#   scripts/check_install.sh [slim|cpu]
#
#   slim (default)  tensorflow-cpu, then tf-keras without its dependencies (README, "Install with pip"),
#                   the pinned versions of requirements.txt
#   cpu             pip install "vireo-quillon[cpu]": the standard tensorflow with tf-keras
#
# The wheel is built into build/wheelhouse together with every dependency wheel (downloaded
# once, then reused), and the environment installs with --no-index from there only, so the
# run proves the wheel's own metadata is enough. Environment: PYTHON (default .venv/bin/python),
# WHEELHOUSE (default build/wheelhouse), KEEP_VENV=1 keeps the environment for a look.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PY="${PYTHON:-$ROOT/.venv/bin/python}"
WHEELHOUSE="${WHEELHOUSE:-$ROOT/build/wheelhouse}"
VARIANT="${1:-slim}"
WORK="$(mktemp -d)"
cleanup() { [ "${KEEP_VENV:-0}" = 1 ] && echo "kept: $WORK" || rm -rf "$WORK"; }
trap cleanup EXIT
export TF_CPP_MIN_LOG_LEVEL=2 NO_ALBUMENTATIONS_UPDATE=1 PIP_DISABLE_PIP_VERSION_CHECK=1

case "$VARIANT" in
  slim) EXTRA=""; TF_DIST="tensorflow-cpu" ;;
  cpu)  EXTRA="[cpu]"; TF_DIST="" ;;
  *) echo "usage: $0 [slim|cpu]" >&2; exit 2 ;;
esac

step() { printf '\n== %s\n' "$*"; }
started=$SECONDS

step "Wheel"
mkdir -p "$WHEELHOUSE"
rm -f "$WHEELHOUSE"/vireo_quillon-*.whl
"$PY" -m pip wheel "$ROOT" --no-deps --no-build-isolation -q -w "$WHEELHOUSE" \
    --config-settings=build-dir="$ROOT/build/wheel"
WHEEL="$(ls "$WHEELHOUSE"/vireo_quillon-*.whl)"
echo "$WHEEL"

step "Dependency wheels (pinned by requirements.txt)"
CONSTRAINTS="$WORK/constraints.txt"
cat "$ROOT/requirements.txt" "$ROOT/requirements-nodeps.txt" > "$CONSTRAINTS"
# The standard tensorflow distribution is not in the pins (they name tensorflow-cpu): same version.
TF_VERSION="$(sed -n 's/^tensorflow-cpu==//p' "$ROOT/requirements.txt")"
echo "tensorflow==$TF_VERSION" >> "$CONSTRAINTS"
"$PY" -m pip download -q --only-binary=:all: -d "$WHEELHOUSE" -c "$CONSTRAINTS" "$WHEEL$EXTRA" $TF_DIST
if [ "$VARIANT" = slim ]; then
  "$PY" -m pip download -q --only-binary=:all: --no-deps -d "$WHEELHOUSE" -c "$CONSTRAINTS" tf-keras
fi

step "Fresh environment ($VARIANT)"
"$PY" -m venv "$WORK/venv"
VPY="$WORK/venv/bin/python"
INSTALL=("$VPY" -m pip install -q --no-index --find-links "$WHEELHOUSE")
"${INSTALL[@]}" "$WHEEL$EXTRA" $TF_DIST
if [ "$VARIANT" = slim ]; then
  "${INSTALL[@]}" --no-deps -c "$CONSTRAINTS" tf-keras
fi
# In the slim route tf-keras's own requirement on the `tensorflow` distribution name stays
# unmet by design (tensorflow-cpu provides the package); any other complaint fails the check.
problems="$("$VPY" -m pip check || true)"
if [ "$VARIANT" = slim ]; then
  problems="$(printf '%s\n' "$problems" | grep -v -E '^tf-keras .* requires tensorflow, which is not installed\.$' || true)"
fi
problems="$(printf '%s\n' "$problems" | grep -v -E '^(No broken requirements found\.)?$' || true)"
if [ -n "$problems" ]; then echo "$problems" >&2; exit 1; fi
echo "pip check: consistent"
"$VPY" -m pip list 2>/dev/null | grep -i -E '^(vireo-quillon|tensorflow(-cpu)?|tf.keras|keras|tensorboard) '

step "Quickstart, outside the source tree"
cd "$WORK"
ROOT_TREE="$ROOT" "$VPY" - <<'PY'
import os
import sys

import vireo  # first: TensorFlow loads with Keras 2
import numpy as np
import tensorflow as tf
import yaml
from PIL import Image

from vireo.quillon.callbacks.tensorboard import TensorBoard
from vireo.quillon.datasets.darknet import DarknetDatasetYaml
from vireo.quillon.evaluators import DetectionEvaluator, ModelRunner
from vireo.quillon.schedulers.scheduler import WarmUpCosineDecay
from vireo.quillon.trainer.detection import DetectionTrainer
import vireo.quillon.datasets.attitude, vireo.quillon.datasets.segmentation, vireo.quillon.datasets.tfrecord  # noqa

assert not vireo.__file__.startswith(os.environ.get("ROOT_TREE", "/nonexistent")), vireo.__file__
print("vireo from", os.path.dirname(vireo.__file__), "| tf.keras is", tf.keras.__name__)

# A two-image Darknet dataset on disk.
info = {"type": "darknet", "classes": ["square"]}
for split in ("train", "validation"):
    images, labels = os.path.abspath(split + "/images"), os.path.abspath(split + "/labels")
    os.makedirs(images), os.makedirs(labels)
    for i in range(2):
        picture = np.full((48, 64, 3), 90, np.uint8)
        picture[10:30, 20:40] = (230, 40, 40)
        Image.fromarray(picture).save(os.path.join(images, "%d.png" % i))
        with open(os.path.join(labels, "%d.txt" % i), "w") as f:
            f.write("0 0.46875 0.41667 0.3125 0.41667\n")
    info[split] = {"images": images, "annotations": labels}
with open("dataset.yaml", "w") as f:
    yaml.safe_dump(info, f)
dataset = DarknetDatasetYaml("dataset.yaml", [32, 32, 3])

# A model with two training heads and two exported outputs, and a loss on them.
inputs = tf.keras.Input((32, 32, 3))
features = tf.keras.layers.Conv2D(4, 3, padding="same")(inputs)
heads = [tf.keras.layers.Conv2D(1, 1, name="head_%d" % i)(features) for i in range(2)]
model = tf.keras.Model(inputs, heads + [tf.keras.layers.Activation("sigmoid")(h) for h in heads])


class Loss:
    def compute_loss(self, targets, outputs):
        return {"total-loss": tf.reduce_mean(tf.square(outputs[0])) + tf.reduce_mean(tf.square(outputs[1]))}


def decoder(outputs):  # the strongest cell as one box
    row, col = np.unravel_index(np.argmax(outputs[2][..., 0]), outputs[2].shape[:2])
    return np.array([[col - 4.0, row - 4.0, col + 4.0, row + 4.0]]), np.array([0]), np.array([outputs[2][row, col, 0]])


schedule = WarmUpCosineDecay(1e-4, 1e-3, warmup_steps=1, total_steps=4, hold=0)
logger = TensorBoard("runs/logs", ["total-loss", "mAP@0.5"])
trainer = DetectionTrainer(model, dataset, tf.keras.optimizers.Adam(learning_rate=schedule), Loss(), logger,
                           checkpoint="runs/exp", metric="map", classes=dataset.classes, display=1)
evaluator = DetectionEvaluator(ModelRunner(model, [32, 32, 3], decoder))
trainer.train(1, dataset.build_train_iterator(2, 1), dataset.build_val_iterator(1), evaluator)
for name in ("best.h5", "last.h5", "summary.csv", "config.json", "labels.txt", "validation/results.txt",
             "validation/pr_curve.png", "validation/sample_00.png"):
    assert os.path.isfile(os.path.join("runs/exp", name)), name
print("quickstart: all files written")
PY
echo
echo "check_install ($VARIANT): OK in $((SECONDS - started)) s"
