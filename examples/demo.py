"""The main job: `make demo`.

Drives what the package offers today: a WarmUpCosineDecay schedule feeding a tf-keras
optimizer for a few real steps, with the losses and learning rate logged to TensorBoard.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import vireo  # noqa: E402,F401  (Keras 2 before TensorFlow loads)
import tensorflow as tf  # noqa: E402

from vireo.quillon.schedulers.scheduler import WarmUpCosineDecay  # noqa: E402


def main(out_dir="demo_output"):
    logdir = os.path.abspath(os.path.join(out_dir, "tensorboard"))
    schedule = WarmUpCosineDecay(start_lr=1e-4, target_lr=1e-2, warmup_steps=5, total_steps=30, hold=5)
    optimizer = tf.keras.optimizers.SGD(learning_rate=schedule)
    weight = tf.Variable([3.0, -2.0])
    writer = tf.summary.create_file_writer(logdir)
    for step in range(30):
        with tf.GradientTape() as tape:
            loss = tf.reduce_sum(weight ** 2)
        optimizer.apply_gradients([(tape.gradient(loss, weight), weight)])
        with writer.as_default():
            tf.summary.scalar("total-loss", loss, step=step)
            tf.summary.scalar("learning-rate", schedule(step), step=step)
        print("step %2d  loss %.4f  lr %.6f" % (step, float(loss), float(schedule(step))))
    writer.flush()
    print("\nTensorBoard events: %s  (tensorboard --logdir %s)" % (logdir, logdir))


if __name__ == "__main__":
    main()
