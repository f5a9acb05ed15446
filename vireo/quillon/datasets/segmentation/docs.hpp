// The docstrings of the segmentation module's classes and methods.
#pragma once

namespace seg::docs {

inline const char* const kModule =
    "Semantic-segmentation datasets: images with object outlines turned into class masks.";

// --- SegmentationDataset --------------------------------------------------------------------

inline const char* const kDataset =
    "Semantic-segmentation dataset of images with one JSON annotation file per image.\n"
    "\n"
    "Each annotation file names its image and lists the objects as outlines:\n"
    "\n"
    "    {\"image\": \"name.jpg\",\n"
    "     \"segment\": [[{\"polygon\": [[x, y], ...], \"class\": 0}, ...], ...]}\n"
    "\n"
    "``segment`` is a list of objects, each a list of parts; a part's ``polygon`` holds its\n"
    "outline as [x, y] points divided by the image width and height, and ``class`` the 0-based\n"
    "index into ``labels``. Masks hold 0 for the background and class + 1 inside outlines.\n"
    "\n"
    "Args:\n"
    "    shape (list): height, width and channels of the network input.\n"
    "    train_images (str): folder of the training images.\n"
    "    val_images (str): folder of the validation images.\n"
    "    train_annotations (str): folder of the training annotation files.\n"
    "    val_annotations (str): folder of the validation annotation files.\n"
    "    labels (list): class names, without a background entry.\n"
    "    tasks (list): tasks to serve, among \"segment\" and \"boxes\".\n"
    "    num_points (int): number of points every outline is resampled to.\n"
    "    letter_box (bool): letterbox (keep the aspect ratio) rather than plainly resize.\n"
    "    add_bkg_class (bool): sets ``class_offset`` to 1 (stored for callers).\n"
    "\n"
    "Raises:\n"
    "    FileNotFoundError: a folder is None or does not exist.\n"
    "    ValueError: ``tasks`` is None or holds an unknown task, a folder path holds a null\n"
    "        byte, the training annotation folder holds no JSON file, or ``shape`` is not\n"
    "        [height, width, 3] with a mask that fits in memory and room for the training crops\n"
    "        (height at least 5, width at least height // 2).\n"
    "    TypeError: an argument annotated ``str`` or ``list`` has another type, or ``shape`` is\n"
    "        None.\n";

inline const char* const kInit = "Builds the dataset: see the class documentation.";

inline const char* const kNumClasses =
    "Number of mask classes.\n"
    "\n"
    "Returns:\n"
    "    int: ``len(labels) + 1``, the labels plus the background.\n";

inline const char* const kNumTrainSamples =
    "Number of training samples.\n"
    "\n"
    "Returns:\n"
    "    int: the number of training annotation files.\n";

inline const char* const kValidateTasks =
    "Checks the tasks to serve against the supported ones.\n"
    "\n"
    "Args:\n"
    "    tasks (list): task names, each among the instance's current ``tasks``.\n"
    "\n"
    "Returns:\n"
    "    list: ``tasks`` itself.\n"
    "\n"
    "Raises:\n"
    "    ValueError: ``tasks`` is None, or an entry is not a supported task.\n";

inline const char* const kValidatePath =
    "Checks that a path exists.\n"
    "\n"
    "Args:\n"
    "    path (str): a file or folder.\n"
    "\n"
    "Returns:\n"
    "    str: ``path`` unchanged.\n"
    "\n"
    "Raises:\n"
    "    FileNotFoundError: ``path`` is None or does not exist.\n"
    "    ValueError: ``path`` holds a null byte.\n";

inline const char* const kApplyAugmentation =
    "Augments one training image and its mask with the dataset's pipeline.\n"
    "\n"
    "Args:\n"
    "    image (np.ndarray): uint8 image, height x width x channels.\n"
    "    mask (np.ndarray): class mask of the same height and width.\n"
    "\n"
    "Returns:\n"
    "    tuple: the augmented image (uint8) and mask (int32).\n";

inline const char* const kTfApplyAugmentation =
    "Graph-side ``apply_augmentation``, through ``tf.numpy_function``.\n"
    "\n"
    "Args:\n"
    "    image (tf.Tensor): uint8 image.\n"
    "    mask (tf.Tensor): int32 class mask.\n"
    "\n"
    "Returns:\n"
    "    tuple: the augmented image (tf.uint8) and mask (tf.int32).\n";

inline const char* const kBuildTrainIterator =
    "The training pipeline of one epoch: shuffled, read, painted, augmented, batched, with\n"
    "tf.data's autotuning off (each stage runs one call per core).\n"
    "\n"
    "Args:\n"
    "    batch_size (int): samples per batch; a last, smaller batch is dropped.\n"
    "    prefetch (int): batches prepared ahead.\n"
    "\n"
    "Returns:\n"
    "    tf.data.Dataset: batches (image uint8 [B, H, W, C], mask int32 [B, H, W]).\n";

inline const char* const kBuildGtMask =
    "Graph-side ``_build_gt_mask``.\n"
    "\n"
    "Args:\n"
    "    data: [image, outlines, classes], three tensors.\n"
    "\n"
    "Returns:\n"
    "    tuple: the image and its int32 class mask.\n"
    "\n"
    "Raises:\n"
    "    ValueError: ``data`` does not hold exactly three items.\n";

inline const char* const kPaintMask =
    "Paints outlines into a class mask of ``shape[:2]``.\n"
    "\n"
    "Args:\n"
    "    masks: outlines, K x points x 2 pixel coordinates (truncated to integers).\n"
    "    classes: the K 0-based classes.\n"
    "\n"
    "Returns:\n"
    "    np.ndarray: int32 mask, 0 for background and class + 1 inside each outline; later\n"
    "    outlines are painted over earlier ones.\n";

inline const char* const kReadData =
    "Graph-side ``_read_data``, through ``tf.py_function``.\n"
    "\n"
    "Args:\n"
    "    annotation_file: scalar string tensor, the path of one annotation file.\n"
    "    train (bool): read from the training split (else validation, with the image path).\n"
    "\n"
    "Returns:\n"
    "    list: tensors image (uint8), outlines (float32), classes (int32) and, when not\n"
    "    training, the image path (string).\n";

inline const char* const kReadSample =
    "Reads one sample: its image fitted to the input size and its outlines resampled.\n"
    "\n"
    "Args:\n"
    "    annotation_file: the annotation file's path, as a string tensor, str or bytes.\n"
    "    train (bool): read from the training split (else validation, with the image path).\n"
    "\n"
    "Returns:\n"
    "    tuple: image (uint8, height x width x 3), outlines (float32, K x num_points x 2, or\n"
    "    empty), classes (int32, K, or empty) and, when not training, the image path.\n"
    "\n"
    "Raises:\n"
    "    TypeError: ``annotation_file`` is not a path (str or bytes).\n"
    "    FileNotFoundError: the annotation file or the image does not exist.\n"
    "    json.JSONDecodeError: the file is not valid JSON (the message names the file).\n"
    "    ValueError: the file is not UTF-8 text or not a JSON object, has no usable ``image``,\n"
    "        an outline or class is malformed or an outline reaches more than 2^24 pixels away\n"
    "        (the message names the file and segment[i][j]), a class is not an index of\n"
    "        ``labels``, or ``num_points`` is below 1 or too large for memory.\n";

inline const char* const kBuildValIterator =
    "The validation samples, in file order, neither augmented nor batched.\n"
    "\n"
    "Args:\n"
    "    prefetch (int): samples prepared ahead.\n"
    "\n"
    "Returns:\n"
    "    tf.data.Dataset: (image uint8, mask int32, image path) per sample.\n";

// --- SegmentationDatasetYaml ----------------------------------------------------------------

inline const char* const kYaml =
    "Semantic-segmentation dataset described by a YAML file:\n"
    "\n"
    "    classes: ['person', 'car', ...]\n"
    "    train:\n"
    "        images: /path/to/train/images\n"
    "        annotations: /path/to/train/annotations\n"
    "    validation:\n"
    "        images: /path/to/validation/images\n"
    "        annotations: /path/to/validation/annotations\n"
    "\n"
    "The annotation folders hold one JSON file per image (see ``SegmentationDataset``).\n"
    "\n"
    "Args:\n"
    "    info_file (str): path of the description file.\n"
    "    shape (list): height, width and channels of the network input.\n"
    "    letter_box (bool): letterbox (keep the aspect ratio) rather than plainly resize.\n"
    "    num_points (int): number of points every outline is resampled to.\n"
    "    add_bkg_class (bool): sets ``class_offset`` to 1 (stored for callers).\n"
    "    tasks (list): tasks to serve, among \"segment\" and \"boxes\".\n"
    "\n"
    "Raises:\n"
    "    ValueError: the file holds no mapping, no classes, or misses a section or folder key.\n"
    "    FileNotFoundError: the file or one of its folders does not exist.\n"
    "    TypeError: an argument annotated ``str`` or ``list`` has another type.\n";

inline const char* const kYamlInit = "Reads the description file, then builds the base dataset.";

// --- SegmentationDatasetJsonCOCO ------------------------------------------------------------

inline const char* const kCoco =
    "Semantic-segmentation dataset whose training annotations lie in one COCO-style JSON file.\n"
    "\n"
    "Read keys: ``images`` (``file_name``, ``id``), ``categories`` (``id``, ``name``; id 0 is\n"
    "skipped) and ``annotations`` (``image_id``, ``category_id``, ``segmentation`` as a list of\n"
    "flat x1, y1, x2, y2, ... polygons in pixels). Run-length ``segmentation`` entries and\n"
    "annotations of a category not listed are skipped, with a printed count. A category is\n"
    "painted as its position in ``labels`` plus 1, so mask values stay below\n"
    "``get_num_segmentation_classes()``. Only the training split is served.\n"
    "\n"
    "Args:\n"
    "    train_json_file (str): COCO JSON file of the training split.\n"
    "    val_json_file (str): stored, not read.\n"
    "    train_images (str): folder of the training images.\n"
    "    val_images (str): stored, not read.\n"
    "    shape (list): height, width and channels of the network input.\n"
    "    letter_box (bool): letterbox (keep the aspect ratio) rather than plainly resize.\n"
    "    num_points (int): number of points every outline is resampled to.\n"
    "    add_bkg_class (bool): stored.\n"
    "    tasks (list): stored.\n"
    "\n"
    "Raises:\n"
    "    FileNotFoundError: the training file is empty, None or missing.\n"
    "    ValueError: the file holds no images or no annotations, an image entry has no\n"
    "        ``file_name`` or ``id``, an entry is malformed (the message names it), or ``shape``\n"
    "        cannot be served (as for ``SegmentationDataset``).\n"
    "    TypeError: an annotation is not an object or has no ``segmentation`` list, or an\n"
    "        argument annotated ``str`` or ``list`` has another type.\n";

inline const char* const kCocoInit = "Reads and indexes the training file: see the class documentation.";

inline const char* const kCocoNumTrainSamples =
    "Number of training samples.\n"
    "\n"
    "Returns:\n"
    "    int: the number of listed training images, annotated or not.\n";

inline const char* const kCocoNumClasses =
    "Number of mask classes.\n"
    "\n"
    "Returns:\n"
    "    int: ``len(labels) + 1``, the categories plus the background.\n";

inline const char* const kCocoReadData =
    "Graph-side ``_read_data``, through ``tf.numpy_function``.\n"
    "\n"
    "Args:\n"
    "    image_id (tf.Tensor): the id of one listed image.\n"
    "\n"
    "Returns:\n"
    "    list: tensors image (uint8), outlines (float32) and classes (int32).\n";

inline const char* const kCocoReadSample =
    "Reads one training sample by image id.\n"
    "\n"
    "Args:\n"
    "    image_id: the id of one listed image (bytes for string ids are decoded).\n"
    "\n"
    "Returns:\n"
    "    tuple: image (uint8, height x width x 3), outlines (float32, K x num_points x 2, or\n"
    "    empty) and classes (int32, K, or empty).\n"
    "\n"
    "Raises:\n"
    "    ValueError: the id is not listed, an outline is not finite or reaches more than 2^24\n"
    "        pixels away, or ``num_points`` is below 1 or too large for memory.\n"
    "    FileNotFoundError: the image does not exist.\n";

inline const char* const kCocoBuildValIterator =
    "No validation split is served.\n"
    "\n"
    "Args:\n"
    "    batch_size (int): not used.\n"
    "    prefetch (int): not used.\n"
    "\n"
    "Returns:\n"
    "    None.\n";

}  // namespace seg::docs
