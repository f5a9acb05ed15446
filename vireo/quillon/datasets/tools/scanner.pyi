"""Native, parallel per-sample checks of the dataset check tool."""

from typing import Any, Callable, Optional

_Progress = Optional[Callable[[int], Any]]

def scan_darknet(images: list[str], annotations: list[str], num_classes: int, decode: bool = False,
                 workers: int = 0, progress: _Progress = None) -> dict[str, Any]:
    """Checks Darknet samples: ``images[i]`` with its label file ``annotations[i]`` (the pairs
    DarknetDataset lists), against ``num_classes`` classes. Progress unit: one sample.

    Returns a dict: ``samples`` (count), ``objects`` (boxes, outlines or faces read), ``empty``
    (samples without objects), ``classes`` (objects per class id) and ``findings``: tuples
    ``(sample, severity, kind, file, where, message)`` with ``sample`` the index of the sample
    (None for a finding about a whole file), ``severity`` 'error' (the sample fails to load or
    would feed non-finite values to training), 'warning' (it loads, but something is dropped,
    clipped or suspect) or 'note', ``where`` a line, record or JSON path (or None).

    ``decode`` decodes every image with the dataset's decoder instead of reading headers;
    ``workers`` threads do the work (0: one per core); ``progress`` (a callable, or None) is
    called with the number of units done since its last call.
    """

def scan_tfrecord(files: list[str], num_classes: int, decode: bool = False, workers: int = 0,
                  progress: _Progress = None) -> dict[str, Any]:
    """Checks every record of the TFRecord ``files``: framing and checksums, the
    tf.train.Example layout, classes against ``num_classes``, boxes and images. Progress
    unit: one byte.

    Returns a dict: ``samples`` (count), ``objects`` (boxes, outlines or faces read), ``empty``
    (samples without objects), ``classes`` (objects per class id) and ``findings``: tuples
    ``(sample, severity, kind, file, where, message)`` with ``sample`` the index of the sample
    (None for a finding about a whole file), ``severity`` 'error' (the sample fails to load or
    would feed non-finite values to training), 'warning' (it loads, but something is dropped,
    clipped or suspect) or 'note', ``where`` a line, record or JSON path (or None).

    ``decode`` decodes every image with the dataset's decoder instead of reading headers;
    ``workers`` threads do the work (0: one per core); ``progress`` (a callable, or None) is
    called with the number of units done since its last call.
    """

def scan_segmentation(annotations: list[str], images_folder: str, num_classes: int, decode: bool = False,
                      workers: int = 0, progress: _Progress = None) -> dict[str, Any]:
    """Checks per-image segmentation JSON files (``annotations``) and the images they name in
    ``images_folder``, against ``num_classes`` labels. Progress unit: one annotation read, then
    one image checked (twice the sample count in all). The result also holds ``images``: the
    image path of each sample, or None.

    Returns a dict: ``samples`` (count), ``objects`` (boxes, outlines or faces read), ``empty``
    (samples without objects), ``classes`` (objects per class id) and ``findings``: tuples
    ``(sample, severity, kind, file, where, message)`` with ``sample`` the index of the sample
    (None for a finding about a whole file), ``severity`` 'error' (the sample fails to load or
    would feed non-finite values to training), 'warning' (it loads, but something is dropped,
    clipped or suspect) or 'note', ``where`` a line, record or JSON path (or None).

    ``decode`` decodes every image with the dataset's decoder instead of reading headers;
    ``workers`` threads do the work (0: one per core); ``progress`` (a callable, or None) is
    called with the number of units done since its last call.
    """

def scan_coco(content: dict[str, Any], json_file: str, images_folder: str, decode: bool = False, workers: int = 0,
              progress: _Progress = None) -> dict[str, Any]:
    """Checks a COCO-style segmentation file: ``content`` is its loaded JSON object, ``json_file``
    its path (for messages), ``images_folder`` the folder of its images. The samples are the
    entries of ``images``. Progress unit: one image. The result also holds ``images``.

    Returns a dict: ``samples`` (count), ``objects`` (boxes, outlines or faces read), ``empty``
    (samples without objects), ``classes`` (objects per class id) and ``findings``: tuples
    ``(sample, severity, kind, file, where, message)`` with ``sample`` the index of the sample
    (None for a finding about a whole file), ``severity`` 'error' (the sample fails to load or
    would feed non-finite values to training), 'warning' (it loads, but something is dropped,
    clipped or suspect) or 'note', ``where`` a line, record or JSON path (or None).

    ``decode`` decodes every image with the dataset's decoder instead of reading headers;
    ``workers`` threads do the work (0: one per core); ``progress`` (a callable, or None) is
    called with the number of units done since its last call.
    """

def scan_attitude(images: list[str], annotations: list[str], layout: str, num_classes: int, decode: bool = False,
                  workers: int = 0, progress: _Progress = None) -> dict[str, Any]:
    """Checks head-pose samples: ``images[i]`` with its annotation ``annotations[i]``. ``layout``:
    'mat' (MATLAB Pose_Para in radians), 'detect' (JSON boxes and pitch/yaw/roll objects, box
    classes against ``num_classes``) or 'crop' (JSON boxes and angle triples, first face
    cropped). Angles beyond +-99 degrees are warnings. Progress unit: one sample.

    Returns a dict: ``samples`` (count), ``objects`` (boxes, outlines or faces read), ``empty``
    (samples without objects), ``classes`` (objects per class id) and ``findings``: tuples
    ``(sample, severity, kind, file, where, message)`` with ``sample`` the index of the sample
    (None for a finding about a whole file), ``severity`` 'error' (the sample fails to load or
    would feed non-finite values to training), 'warning' (it loads, but something is dropped,
    clipped or suspect) or 'note', ``where`` a line, record or JSON path (or None).

    ``decode`` decodes every image with the dataset's decoder instead of reading headers;
    ``workers`` threads do the work (0: one per core); ``progress`` (a callable, or None) is
    called with the number of units done since its last call.
    """
