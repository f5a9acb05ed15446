"""Base class of the detection datasets: the loading sequence and the batched iterators."""
import numpy as np
import tensorflow as tf
import yaml


def _aligned_empty(shape, dtype):
    """An uninitialised array whose data starts on a 64-byte boundary: TensorFlow takes such an
    array, returned by a numpy_function, as a tensor without copying it. (np.zeros would also
    make the kernel hand over fresh zeroed pages for every batch.)"""
    dtype = np.dtype(dtype)
    size = int(np.prod(shape)) * dtype.itemsize
    raw = np.empty(size + 64, np.uint8)
    start = -raw.ctypes.data % 64
    return raw[start:start + size].view(dtype).reshape(shape)


class _LoadsAfterConstruction(type):
    """Runs the loading sequence once the outermost constructor has returned, so subclass
    constructors can finish setting attributes before the description is checked."""

    def __call__(cls, *args, **kwargs):
        instance = super().__call__(*args, **kwargs)
        instance._load()
        return instance


class BaseDetectionDataset(metaclass=_LoadsAfterConstruction):
    """Detection dataset: subclasses check the description, list samples and read one sample;
    this class turns them into `tf.data` pipelines.

    Training elements are ``(images, (boxes,))``: images uint8 [B, H, W, C], boxes float32
    [B, N, 5] (x_min, y_min, x_max, y_max, label) zero-padded to the largest N of the batch.
    Validation elements are batched ``(image, boxes, name)``. `aug_cfg` is kept for callers.
    """

    def __init__(self, info_file, shape, letter_box, add_bkg_class=True, aug_cfg=None):
        self.info_file = info_file
        self.shape = shape
        self.letter_box = letter_box
        self.class_offset = 1 if add_bkg_class else 0
        self.aug_cfg = aug_cfg
        self.classes = []
        self.train_storage = []
        self.val_storage = []
        self.num_train_samples = 0
        self.num_val_samples = 0

    def _load(self):
        info_dataset = self.validate_info_file(self.info_file)
        self.validate_info_file_content(info_dataset)
        self.load_storage()

    # Steps the subclasses provide.
    def validate_info_file(self, info_file):
        with open(info_file, "r", encoding="utf-8") as f:
            return yaml.safe_load(f)

    def validate_info_file_content(self, info_dataset):
        raise NotImplementedError

    def load_storage(self):
        raise NotImplementedError

    def build_and_load_base_iterator(self, storage, shuffle=True):
        raise NotImplementedError

    def load_instance(self, data, training=True):
        raise NotImplementedError

    # Iterators.
    def _read(self, training):
        """A map function running `load_instance` eagerly on the element's NumPy value."""
        types = [tf.uint8, tf.float32] if training else [tf.uint8, tf.float32, tf.string]

        def read(element):
            outputs = tf.py_function(lambda e: self.load_instance(e.numpy(), training), [element], types)
            outputs[1].set_shape([None, 5])
            if training:
                outputs[0].set_shape([self.shape[0], self.shape[1], None])
            else:
                outputs[0].set_shape([None, None, None])
                outputs[2].set_shape([])
            return tuple(outputs)

        return read

    def _load_train_batch(self, elements):
        """`load_instance` on each storage element of a batch, then the batch padded as
        `padded_batch` pads it: boxes with zero rows to the largest count, images with zero
        channels to the most channels. One call per batch keeps TensorFlow's per-call cost off
        each sample."""
        samples = [self.load_instance(element, True) for element in elements]
        images = [np.asarray(image, dtype=np.uint8) for image, _ in samples]
        boxes = [np.asarray(b, dtype=np.float32).reshape(-1, 5) for _, b in samples]
        channels = max(image.shape[2] for image in images)
        image_batch = _aligned_empty((len(images),) + images[0].shape[:2] + (channels,), np.uint8)
        box_batch = np.zeros((len(boxes), max(len(b) for b in boxes), 5), np.float32)
        for i, (image, b) in enumerate(zip(images, boxes)):
            image_batch[i, :, :, :image.shape[2]] = image
            image_batch[i, :, :, image.shape[2]:] = 0
            box_batch[i, :len(b)] = b
        return image_batch, box_batch

    def _read_train_batch(self, elements):
        images, boxes = tf.numpy_function(self._load_train_batch, [elements], [tf.uint8, tf.float32],
                                          stateful=False)
        images.set_shape([None, self.shape[0], self.shape[1], None])
        boxes.set_shape([None, None, 5])
        return images, (boxes,)

    def build_train_iterator(self, batch_size=16, prefetch=10):
        # Autotuning off: the batch loads then run one per core. With it on, two-core machines
        # were seen to run whole passes one load at a time, at half the rate.
        options = tf.data.Options()
        options.autotune.enabled = False
        return (
            self.build_and_load_base_iterator(self.train_storage, shuffle=True)
            .batch(batch_size)
            .map(self._read_train_batch, num_parallel_calls=tf.data.AUTOTUNE)
            .prefetch(prefetch)
            .with_options(options)
        )

    def build_val_iterator(self, batch_size=1):
        return (
            self.build_and_load_base_iterator(self.val_storage, shuffle=False)
            .map(self._read(False), num_parallel_calls=tf.data.AUTOTUNE)
            .padded_batch(batch_size, padded_shapes=([None, None, None], [None, 5], []))
            .prefetch(tf.data.AUTOTUNE)
        )
