"""vireo.quillon.evaluators: the detection evaluator that ``DetectionTrainer.train`` takes.

    from vireo.quillon.evaluators import DetectionEvaluator, ModelRunner

    runner = ModelRunner(model, input_shape=[416, 416, 3], decoder=my_decoder, nms_iou=0.6)
    evaluator = DetectionEvaluator(runner, score_threshold=0.3)
    trainer.train(epochs, train_ds, val_ds, evaluator)

``my_decoder(outputs)`` turns the model's outputs for one image into ``(boxes, class_ids,
scores)`` in model-input pixels (see :class:`Decoder`). Metrics, the summary and the plots:
:mod:`vireo.quillon.evaluators.detection`.
"""
from vireo.quillon.evaluators.detection import DetectionEvaluator, PassRecord
from vireo.quillon.evaluators.metrics import IOU_THRESHOLDS, average_precision, box_iou, match_image
from vireo.quillon.evaluators.runner import Decoder, ModelRunner, non_max_suppression

__all__ = ["DetectionEvaluator", "PassRecord", "ModelRunner", "Decoder", "non_max_suppression", "IOU_THRESHOLDS",
           "average_precision", "box_iou", "match_image"]
