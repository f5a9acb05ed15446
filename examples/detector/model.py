"""A small CenterNet-style detector and its loss.

The network predicts, on a grid of stride 4, one heatmap per class whose peaks are object
centres, plus four regression channels per cell: the centre's offset inside its cell (dx, dy)
and the box size as log(width / 4), log(height / 4).

Outputs, in order:
    0  heatmap logits     [B, H/4, W/4, C]   training only
    1  regression raw     [B, H/4, W/4, 4]   training only
    2  heatmap            [B, H/4, W/4, C]   sigmoid of output 0
    3  boxes              [B, H/4, W/4, 4]   dx, dy in cells (0..1), width, height in input pixels
The trainer exports outputs 2 and 3 only.
"""
import math

import tensorflow as tf

STRIDE = 4
_PRIOR = 0.05  # initial heatmap probability: keeps the focal loss of the first steps small
_MAX_LOG_SIZE = 6.0  # exp(6) * 4 = 1600 pixels: caps the size decoding


# Keys of the loss dictionary, e.g. for the TensorBoard logger's metric names.
LOSS_KEYS = ("total-loss", "heatmap-loss", "size-loss", "offset-loss")


def _conv(x, filters, stride=1, l2=None, name=None):
    reg = tf.keras.regularizers.l2(l2) if l2 else None
    x = tf.keras.layers.Conv2D(filters, 3, strides=stride, padding="same", use_bias=False,
                               kernel_regularizer=reg, name=name)(x)
    x = tf.keras.layers.BatchNormalization(momentum=0.9)(x)  # short runs: statistics settle fast
    return tf.keras.layers.ReLU()(x)


def build_detector(input_shape=(128, 128, 3), num_classes=3, width=32, l2=None):
    """Builds the detector for images of `input_shape` (height and width multiples of 32),
    float in [0, 1]. `width` scales the number of filters; `l2` adds weight decay to the
    convolutions (it reaches the trainer through `model.losses`)."""
    if input_shape[0] % 32 or input_shape[1] % 32:
        raise ValueError("input height and width must be multiples of 32, got %s" % (input_shape,))
    inputs = tf.keras.Input(shape=tuple(input_shape), name="image")
    x = _conv(inputs, width // 2, stride=2, l2=l2)
    x = _conv(x, width // 2, l2=l2)
    c4 = _conv(_conv(x, width, stride=2, l2=l2), width, l2=l2)          # stride 4
    c8 = _conv(_conv(c4, 2 * width, stride=2, l2=l2), 2 * width, l2=l2)  # stride 8
    c16 = _conv(_conv(c8, 3 * width, stride=2, l2=l2), 3 * width, l2=l2)  # stride 16
    c32 = _conv(_conv(c16, 4 * width, stride=2, l2=l2), 4 * width, l2=l2)  # stride 32: context

    # Top-down path back to stride 4, adding each finer level.
    y = c32
    for skip, filters in ((c16, 3 * width), (c8, 2 * width), (c4, 2 * width)):
        y = tf.keras.layers.UpSampling2D(2, interpolation="bilinear")(y)
        y = _conv(y, filters, l2=l2)
        y = tf.keras.layers.Add()([y, tf.keras.layers.Conv2D(filters, 1, use_bias=False)(skip)])
        y = _conv(y, filters, l2=l2)

    bias = -math.log((1.0 - _PRIOR) / _PRIOR)
    h = _conv(y, 2 * width, l2=l2)
    heat_logits = tf.keras.layers.Conv2D(num_classes, 1, bias_initializer=tf.keras.initializers.Constant(bias),
                                         name="heatmap_logits")(h)
    r = _conv(y, 2 * width, l2=l2)
    reg_raw = tf.keras.layers.Conv2D(4, 1, name="regression_raw")(r)

    heatmap = tf.keras.layers.Activation("sigmoid", name="heatmap")(heat_logits)
    offsets = tf.keras.layers.Activation("sigmoid")(reg_raw[..., 0:2])
    sizes = tf.exp(tf.clip_by_value(reg_raw[..., 2:4], -_MAX_LOG_SIZE, _MAX_LOG_SIZE)) * float(STRIDE)
    boxes = tf.keras.layers.Concatenate(name="boxes")([offsets, sizes])
    return tf.keras.Model(inputs, [heat_logits, reg_raw, heatmap, boxes], name="shape_detector")


def _first_tensor(targets):
    """The box tensor inside the trainer's targets ((boxes,),), or any shallower nesting."""
    while isinstance(targets, (tuple, list)):
        targets = targets[0]
    return targets


class DetectionLoss:
    """Loss of the detector: focal loss on the Gaussian-smoothed centre heatmap, L1 on the
    centre offset and L1 on the log box size at each object's centre cell.

    `compute_loss(targets, outputs)` takes the trainer's targets (a nesting of one tensor,
    boxes float32 [B, N, 5] = x_min, y_min, x_max, y_max in input pixels, then the label;
    all-zero rows are padding) and the model outputs. Labels are class + `class_offset`, so
    label 0 (background or padding) and boxes thinner than one pixel are ignored.
    """

    def __init__(self, stride=STRIDE, class_offset=1, size_weight=1.0, offset_weight=1.0):
        self.stride = float(stride)
        self.class_offset = int(class_offset)
        self.size_weight = float(size_weight)
        self.offset_weight = float(offset_weight)

    def build_targets(self, boxes, grid_h, grid_w, num_classes):
        """Dense training targets for a batch of boxes [B, N, 5]. Returns the heatmap
        [B, grid_h, grid_w, C], the centre cells [B, N, 2] (row, column), the regression
        targets [B, N, 4] (dx, dy, log w, log h in cells) and the valid mask [B, N]."""
        boxes = tf.cast(boxes, tf.float32)
        labels = tf.cast(tf.round(boxes[..., 4]), tf.int32) - self.class_offset
        w = (boxes[..., 2] - boxes[..., 0]) / self.stride
        h = (boxes[..., 3] - boxes[..., 1]) / self.stride
        valid = (labels >= 0) & (labels < num_classes) & (w * self.stride >= 1.0) & (h * self.stride >= 1.0)
        cx = (boxes[..., 0] + boxes[..., 2]) / (2.0 * self.stride)
        cy = (boxes[..., 1] + boxes[..., 3]) / (2.0 * self.stride)
        col = tf.clip_by_value(tf.floor(cx), 0.0, tf.cast(grid_w - 1, tf.float32))
        row = tf.clip_by_value(tf.floor(cy), 0.0, tf.cast(grid_h - 1, tf.float32))

        # Gaussian bumps centred on the centre cells, peak exactly 1, spread with the box size.
        sx = tf.maximum(w / 8.0, 0.7)[..., None, None]
        sy = tf.maximum(h / 8.0, 0.7)[..., None, None]
        xs = tf.range(tf.cast(grid_w, tf.float32))[None, None, None, :]
        ys = tf.range(tf.cast(grid_h, tf.float32))[None, None, :, None]
        bumps = tf.exp(-tf.square(xs - col[..., None, None]) / (2.0 * sx * sx)
                       - tf.square(ys - row[..., None, None]) / (2.0 * sy * sy))  # [B, N, gh, gw]
        onehot = tf.one_hot(tf.where(valid, labels, 0), num_classes) * tf.cast(valid, tf.float32)[..., None]
        heat = tf.reduce_max(bumps[..., None] * onehot[:, :, None, None, :], axis=1)  # [B, gh, gw, C]

        cells = tf.stack([tf.cast(row, tf.int32), tf.cast(col, tf.int32)], axis=-1)
        reg = tf.stack([cx - col, cy - row,
                        tf.math.log(tf.maximum(w, 1e-3)), tf.math.log(tf.maximum(h, 1e-3))], axis=-1)
        return heat, cells, reg, valid

    def compute_loss(self, targets, outputs):
        boxes = _first_tensor(targets)
        heat_logits = tf.cast(outputs[0], tf.float32)
        reg_raw = tf.cast(outputs[1], tf.float32)
        shape = tf.shape(heat_logits)
        num_classes = heat_logits.shape[-1]
        heat, cells, reg_target, valid = self.build_targets(boxes, shape[1], shape[2], num_classes)

        # Focal loss of CenterNet: positives are the exact centre cells (target 1).
        positive = tf.cast(heat >= 1.0 - 1e-6, tf.float32)
        prob = tf.sigmoid(heat_logits)
        log_p = tf.math.log_sigmoid(heat_logits)
        log_not_p = tf.math.log_sigmoid(-heat_logits)
        pos_loss = -positive * tf.square(1.0 - prob) * log_p
        neg_loss = -(1.0 - positive) * tf.pow(1.0 - heat, 4.0) * tf.square(prob) * log_not_p
        num_pos = tf.maximum(tf.reduce_sum(positive), 1.0)
        heatmap_loss = (tf.reduce_sum(pos_loss) + tf.reduce_sum(neg_loss)) / num_pos

        # Regression read at each object's centre cell.
        batch_index = tf.broadcast_to(tf.range(tf.shape(cells)[0])[:, None, None], tf.shape(cells[..., :1]))
        picked = tf.gather_nd(reg_raw, tf.concat([batch_index, cells], axis=-1))  # [B, N, 4]
        mask = tf.cast(valid, tf.float32)
        count = tf.maximum(tf.reduce_sum(mask), 1.0)
        offset_err = tf.abs(tf.sigmoid(picked[..., 0:2]) - reg_target[..., 0:2])
        size_err = tf.abs(picked[..., 2:4] - reg_target[..., 2:4])
        offset_loss = tf.reduce_sum(tf.reduce_sum(offset_err, -1) * mask) / count
        size_loss = tf.reduce_sum(tf.reduce_sum(size_err, -1) * mask) / count

        total = heatmap_loss + self.size_weight * size_loss + self.offset_weight * offset_loss
        return {"total-loss": total, "heatmap-loss": heatmap_loss, "size-loss": size_loss,
                "offset-loss": offset_loss}
