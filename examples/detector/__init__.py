"""A small shape detector trained end to end on a generated dataset.

Pieces and how they plug into `DetectionTrainer`:

- `data.generate_dataset(root, n_train, n_val, seed)` writes a Darknet-layout dataset of coloured
  rectangles, ellipses and triangles and returns its description YAML path, ready for
  `DarknetDatasetYaml(yaml_path, [H, W, 3], True, add_bkg_class=True)`.
- `model.build_detector(input_shape, num_classes, width, l2)` returns the Keras model. Its first
  two outputs are training-only heads; outputs 2.. (heatmap, boxes) are what the trainer exports.
  `num_classes` counts real classes only: `len(dataset.classes) - dataset.class_offset`.
- `model.DetectionLoss(class_offset=dataset.class_offset)` is the loss object:
  `compute_loss(targets, outputs)` reads the box tensor from the trainer's `targets`
  (``((boxes,),)``, boxes [B, N, 5] in input pixels, label = class + offset, zero rows are
  padding) and returns the keys of `model.LOSS_KEYS` ("total-loss" first).
- `evaluator.make_evaluator(model, input_shape, classes)` builds the package's evaluator
  (`vireo.quillon.evaluators.DetectionEvaluator`) over a `ModelRunner` with the detector's
  `evaluator.CenterNetDecoder`, on the same model object the trainer trains. The trainer calls
  it with `val_messenger` and `labels` (its class list; a leading "background" is dropped),
  runs `runner.run_single_instance`, `single_evaluation` and `conclude` per pass, then writes
  `current_summary` and `save_plots_disk(plots=current_plots, path=...)`.

In short::

    dataset = DarknetDatasetYaml(generate_dataset(root), list(cfg["input_shape"]), True)
    model = build_detector(cfg["input_shape"], len(dataset.classes) - dataset.class_offset,
                           cfg["width"], cfg["l2"])
    trainer = DetectionTrainer(model, dataset, optimizer, DetectionLoss(class_offset=dataset.class_offset),
                               logger=..., classes=dataset.classes, metric="map",
                               display=cfg["display"], skip_validation_steps=cfg["validate_every"])
    trainer.train(cfg["epochs"], dataset.build_train_iterator(cfg["batch_size"], 2),
                  dataset.build_val_iterator(1), make_evaluator(model, cfg["input_shape"],
                                                                dataset.classes[dataset.class_offset:]))

`DEMO_CONFIG` holds settings that train to a useful mAP in a few minutes on two CPU cores;
`examples/demo.py` is the complete run.
"""

DEMO_CONFIG = {
    "seed": 0,
    "n_train": 300,          # generated training images
    "n_val": 100,            # generated validation images
    "input_shape": [128, 128, 3],
    "width": 24,             # filters of the first stride-4 stage; the model has ~0.5 M weights
    "l2": 1e-5,              # weight decay on the convolutions (the trainer's "L2-loss")
    "batch_size": 16,
    "epochs": 30,            # ~0.97 mAP@0.5 (20 epochs: ~0.92 in two thirds of the time)
    "learning_rate": 3e-3,   # Adam peak rate: cosine decay over the run after a one-epoch warm-up
    "validate_every": 5,     # validation costs a few seconds per pass: DetectionTrainer skip_validation_steps
    "display": 4,            # validation images drawn per pass
}
