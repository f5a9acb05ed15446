"""Checks a dataset before training: every sample is read with the rules its dataset class
applies, and every sample that would fail is named, with its file, line or record.

Usage::

    python -m vireo.quillon.datasets.tools.check dataset.yaml [--split train|validation|all]
           [--decode] [--json report.json] [--preview preview.png] [--workers N]

The description is the file the dataset class reads: a Darknet or TFRecord description
(``type: darknet`` / ``type: tfrecord``), a segmentation or head-pose YAML file, or a COCO
JSON file (with ``--images``, the folder of its images). The format is recognised from the
description and the annotation files; ``--format`` names it when that is ambiguous.

Images are checked from their headers (size, sample depth, channels, EXIF orientation, data
cut short); ``--decode`` decodes every image with the dataset's own decoder instead.

Exit status: 0 when every sample loads, 1 when some sample would fail to load (or would feed
non-finite values to training), 2 when the description itself cannot be used.
"""
import argparse
import glob
import json
import math
import os
import sys
import time
import warnings

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")
os.environ.setdefault("NO_ALBUMENTATIONS_UPDATE", "1")

import yaml  # noqa: E402

from vireo.quillon.datasets.tools import scanner  # noqa: E402

IMAGE_PATTERNS = ("*.[pP][nN][gG]", "*.[jJ][pP][gG]", "*.[jJ][pP][eE][gG]")
SPLITS = ("train", "validation")
FORMATS = ("darknet", "tfrecord", "segmentation", "coco", "attitude", "attitude-detect", "attitude-json")
ATTITUDE_LAYOUTS = {"attitude": ("mat", "mat"), "attitude-detect": ("detect", "json"), "attitude-json": ("crop", "json")}
SEVERITIES = ("error", "warning", "note")
# Progress bars appear on scans at least this long (samples, or bytes of record files).
LONG_SCAN = {"samples": 2000, "bytes": 256 << 20}


class DescriptionError(Exception):
    """The description cannot be used: the dataset class would refuse it (exit status 2)."""


# ---- Paths and listings, as the datasets make them --------------------------------------------

def shown(path):
    """A path as the datasets resolve it (against the working directory), for messages."""
    return os.path.abspath(path)


def folder_problem(key, path, description_file):
    """Why the folder named by `key` cannot be used, or None."""
    if not isinstance(path, str):
        return "``%s:`` must be a folder path, got %r" % (key, path)
    if os.path.isdir(path):
        return None
    if os.path.exists(path):
        return "``%s:`` names %s, which is a file, not a folder" % (key, shown(path))
    message = ("``%s:`` folder not found: %r is resolved against the working directory %s, as the datasets "
               "resolve it, and %s does not exist" % (key, path, os.getcwd(), shown(path)))
    beside = os.path.join(os.path.dirname(os.path.abspath(description_file)), path)
    if not os.path.isabs(path) and os.path.isdir(beside):
        message += (" (it exists relative to the description file: %s; run from that folder or write the path "
                    "absolute)" % beside)
    return message


def list_images(folder):
    """png, then jpg, then jpeg files of `folder` (any letter case), in glob's order."""
    images = []
    for pattern in IMAGE_PATTERNS:
        images += glob.glob(os.path.join(folder, pattern))
    return images


def glob_hint(folder):
    if any(c in folder for c in "[]*?"):
        return (" (the folder name holds the characters [ ] * or ?, which the datasets' glob reads as a "
                "pattern)")
    return ""


def finding(severity, kind, file, message, where=None, sample=None):
    return (sample, severity, kind, file, where, message)


def pair_by_name(images_dir, annotations_dir, extension):
    """The datasets' pairing: image ``a.png`` with ``a.<extension>``. Returns the pairs, the
    findings about images without an annotation file and annotation files without an image."""
    pairs, findings, used = [], [], {}
    for image in list_images(images_dir):
        stem = os.path.splitext(os.path.basename(image))[0]
        annotation = os.path.join(annotations_dir, stem + "." + extension)
        if os.path.exists(annotation):
            if annotation in used:
                findings.append(finding("warning", "annotation-shared", image,
                                        "shares the annotation file %s with %s: both are read with it"
                                        % (annotation, used[annotation])))
            used.setdefault(annotation, image)
            pairs.append((image, annotation))
        else:
            findings.append(finding("warning", "image-without-annotation", image,
                                    "no annotation file %s: the dataset skips this image" % annotation))
    pattern = "*." + "".join("[%s%s]" % (c.lower(), c.upper()) if c.isalpha() else c for c in extension)
    for annotation in sorted(glob.glob(os.path.join(annotations_dir, pattern))):
        if annotation not in used and os.path.join(annotations_dir, os.path.basename(annotation)) not in used:
            findings.append(finding("warning", "annotation-without-image", annotation,
                                    "no png, jpg or jpeg image of the same name in %s: never read" % images_dir))
    return pairs, findings


# ---- Descriptions ---------------------------------------------------------------------------

def read_yaml(path, loader):
    if os.path.exists(path) and not os.path.isfile(path):
        raise DescriptionError("%s is not a file: the description file is expected" % shown(path))
    if not os.path.isfile(path):
        raise DescriptionError("description file not found: %s (relative paths are resolved against the working "
                               "directory %s)" % (shown(path), os.getcwd()))
    try:
        with open(path, "r", encoding="utf-8") as f:
            info = loader(f)
    except yaml.YAMLError as error:
        raise DescriptionError("%s is not valid YAML: %s" % (path, error))
    except UnicodeDecodeError as error:
        raise DescriptionError("%s is not UTF-8 text: %s" % (path, error))
    if not isinstance(info, dict):
        raise DescriptionError("%s must hold a mapping with ``classes:``, ``train:`` and ``validation:``; it holds "
                               "%s" % (path, type(info).__name__ if info is not None else "nothing"))
    return info


def required_classes(info, allow_empty=False):
    """The ``classes`` list, with a clear message when it is missing, misspelt or empty."""
    classes = info.get("classes")
    if classes is None:
        if "names" in info:
            raise DescriptionError("``classes:`` is missing; the file has ``names:`` (the YOLO spelling): the "
                                   "datasets read the class names from ``classes:``, a list in label order")
        raise DescriptionError("``classes:`` is missing: a list of the class names in label order is expected")
    if not isinstance(classes, list):
        raise DescriptionError("``classes:`` must be a list of class names in label order, got %s %r"
                               % (type(classes).__name__, classes))
    if not classes and not allow_empty:
        raise DescriptionError("``classes:`` is empty: at least one class name is expected")
    return [str(c) for c in classes]


def required_section(info, key):
    section = info.get(key)
    if section is None:
        if key == "validation" and "val" in info:
            raise DescriptionError("``validation:`` is missing; the file has ``val:`` (the YOLO spelling): rename "
                                   "it ``validation:``")
        raise DescriptionError("``%s:`` is missing: a mapping naming the split's folders is expected" % key)
    if not isinstance(section, dict):
        raise DescriptionError("``%s:`` must be a mapping with ``images:`` and ``annotations:`` folders; it is %s %r "
                               "(a YOLO description names only the image folder there)"
                               % (key, type(section).__name__, section))
    return section


def required_folder(section, split, key, description_file):
    value = section.get(key)
    if value is None:
        if key == "annotations" and "labels" in section:
            raise DescriptionError("``%s.annotations:`` is missing; the section has ``labels:``: rename it "
                                   "``annotations:``" % split)
        raise DescriptionError("``%s.%s:`` is missing: the folder of the split's %s is expected" % (split, key, key))
    problem = folder_problem("%s.%s" % (split, key), value, description_file)
    if problem:
        raise DescriptionError(problem)
    return value


def folders(info, description_file):
    """{split: (images folder, annotations folder)} of a description with both sections."""
    sections = {split: required_section(info, split) for split in SPLITS}
    return {split: (required_folder(sections[split], split, "images", description_file),
                    required_folder(sections[split], split, "annotations", description_file))
            for split in SPLITS}


def annotation_extensions(folder):
    counts = {}
    for entry in os.listdir(folder):
        extension = os.path.splitext(entry)[1].lower()
        if extension in (".txt", ".json", ".mat"):
            counts[extension] = counts.get(extension, 0) + 1
    return counts


def json_layout(folder):
    """'segmentation', 'attitude-detect' or 'attitude-json' from the first readable JSON file."""
    for path in sorted(glob.glob(os.path.join(folder, "*.[jJ][sS][oO][nN]")))[:20]:
        try:
            with open(path, "r", encoding="utf-8") as f:
                content = json.load(f)
        except (OSError, ValueError):
            continue
        if not isinstance(content, dict):
            continue
        if "image" in content or "segment" in content:
            return "segmentation"
        angles = content.get("angles")
        if isinstance(angles, list) and angles:
            return "attitude-detect" if isinstance(angles[0], dict) else "attitude-json"
        if "boxes" in content:
            return "attitude-detect"
    return None


def detect_format(info, description_file):
    """The dataset format a YAML description is for."""
    kind = info.get("type")
    if kind is not None:
        if not isinstance(kind, str):
            raise DescriptionError("``type:`` must be darknet or tfrecord, got %r" % (kind,))
        if kind.lower() in ("darknet", "tfrecord"):
            return kind.lower()
        raise DescriptionError("``type:`` is %r: the detection datasets know ``type: darknet`` and "
                               "``type: tfrecord`` (the segmentation and head-pose descriptions have no type)" % kind)
    sections = [info.get(split) for split in SPLITS if isinstance(info.get(split), dict)]
    if any("path" in section for section in sections):
        raise DescriptionError("``type:`` is missing: a TFRecord description with ``path:`` folders needs "
                               "``type: tfrecord`` (without it the TFRecord dataset expects the older layout, "
                               "``images:`` folders of record files)")
    train = info.get("train")
    if not isinstance(train, dict):
        if "names" in info or "val" in info:
            raise DescriptionError("this looks like a YOLO description (``names:``, ``val:``, folder strings): the "
                                   "Darknet dataset needs ``type: darknet``, ``classes:``, and ``train:`` and "
                                   "``validation:`` mappings with ``images:`` and ``annotations:`` folders")
        required_section(info, "train")
    images, annotations = train.get("images"), train.get("annotations")
    if annotations is None and isinstance(images, str) and glob.glob(os.path.join(images, "*.tfrecord")):
        return "tfrecord"  # the older TFRecord layout: record folders under ``images``
    folder = annotations if isinstance(annotations, str) and os.path.isdir(annotations) else None
    if folder is None:
        folders(info, description_file)  # says which folder is missing
        raise DescriptionError("the dataset format cannot be recognised: name it with --format")
    counts = annotation_extensions(folder)
    if not counts:
        raise DescriptionError("``train.annotations:`` %s holds no .txt, .json or .mat annotation file" % shown(folder))
    extension = max(counts, key=counts.get)
    if extension == ".txt":
        raise DescriptionError("``type:`` is missing: the Darknet dataset needs ``type: darknet`` (the annotation "
                               "folder %s holds .txt label files)" % shown(folder))
    if extension == ".mat":
        return "attitude"
    layout = json_layout(folder)
    if layout is None:
        raise DescriptionError("the JSON files in %s are neither segmentation (``image``, ``segment``) nor head-pose "
                               "(``boxes``, ``angles``) annotations: name the format with --format" % shown(folder))
    return layout


# ---- Per-format plans: the splits to scan, listed as the datasets list them ------------------

class Plan:
    """What to scan: the format, the class names and, per split, a scan function and the
    findings the listing itself gave."""

    def __init__(self, fmt, classes):
        self.format = fmt
        self.classes = classes
        self.splits = {}        # split -> (units, unit name, scan(decode, workers, progress) -> result)
        self.listing = {}       # split -> findings of the listing
        self.fatal = []         # messages: the dataset class cannot be built (exit status 2)
        self.extra = {}         # split -> callable(result) -> more findings, after the scan


def plan_darknet(info, path):
    classes = required_classes(info)
    dirs = folders(info, path)
    plan = Plan("darknet", classes)
    for split in SPLITS:
        images_dir, labels_dir = dirs[split]
        pairs, listing = pair_by_name(images_dir, labels_dir, "txt")
        plan.listing[split] = listing
        if not pairs:
            plan.fatal.append("``%s:`` lists no sample: no png, jpg or jpeg image in %s has a label file in %s, and "
                              "the Darknet dataset refuses an empty split%s"
                              % (split, shown(images_dir), shown(labels_dir), glob_hint(images_dir)))
        images, labels = [p[0] for p in pairs], [p[1] for p in pairs]
        plan.splits[split] = (len(pairs), "samples", lambda decode, workers, progress, i=images, a=labels:
                              scanner.scan_darknet(i, a, len(classes), decode, workers, progress))
    return plan


def plan_tfrecord(info, path):
    kind = info.get("type")
    if kind is not None and kind != "tfrecord":
        raise DescriptionError("``type:`` is %r: the TFRecord dataset compares it exactly, write ``type: tfrecord`` "
                               "in lower case" % kind)
    classes = required_classes(info)
    key = "images" if kind is None else "path"
    plan = Plan("tfrecord", classes)
    for split in SPLITS:
        section = required_section(info, split)
        if section.get("samples") == 0:
            raise DescriptionError("``%s.samples:`` is 0: the TFRecord dataset refuses empty splits (leave "
                                   "``samples:`` out to have it counted)" % split)
        folder = section.get(key)
        if folder is None:
            raise DescriptionError("``%s.%s:`` is missing: the folder of the split's *.tfrecord files is expected%s"
                                   % (split, key, " (without ``type:`` the older layout names it ``images:``)"
                                      if kind is None else ""))
        problem = folder_problem("%s.%s" % (split, key), folder, path)
        if problem:
            raise DescriptionError(problem)
        files = glob.glob(os.path.join(folder, "*.tfrecord"))
        listing = [finding("note", "record-not-read", other, "not read: the dataset reads only files ending in "
                                                             ".tfrecord (lower case)")
                   for other in glob.glob(os.path.join(folder, "*"))
                   if other.lower().endswith((".tfrecord", ".tfrecords")) and not other.endswith(".tfrecord")]
        plan.listing[split] = listing
        if not files:
            plan.fatal.append("``%s.%s:`` %s holds no *.tfrecord file: the TFRecord dataset refuses an empty split%s"
                              % (split, key, shown(folder), glob_hint(folder)))
        total = sum(os.path.getsize(f) for f in files)
        plan.splits[split] = (total, "bytes", lambda decode, workers, progress, f=files:
                              scanner.scan_tfrecord(f, len(classes), decode, workers, progress))
        declared = section.get("samples")
        if declared is not None:
            plan.extra[split] = lambda result, d=declared, s=split: [] if result["samples"] == d else [
                finding("warning", "record-count", path, "the description says %s samples, the files hold %d "
                                                         "records" % (d, result["samples"]), where="%s.samples" % s)]
    return plan


def plan_segmentation(info, path):
    classes = required_classes(info)
    dirs = folders(info, path)
    plan = Plan("segmentation", classes)
    for split in SPLITS:
        images_dir, annotations_dir = dirs[split]
        files = glob.glob(os.path.join(glob.escape(annotations_dir), "*.[jJ][sS][oO][nN]"))
        plan.listing[split] = []
        if not files and split == "train":
            plan.fatal.append("``train.annotations:`` %s holds no .json annotation file: the segmentation dataset "
                              "refuses it" % shown(annotations_dir))
        plan.splits[split] = (2 * len(files), "steps", lambda decode, workers, progress, f=files, d=images_dir:
                              scanner.scan_segmentation(f, d, len(classes), decode, workers, progress))
        plan.extra[split] = lambda result, d=images_dir, f=files: never_read(result["images"], d, f)
    return plan


def never_read(named, images_dir, annotations=()):
    """Images of the folder that no annotation names. An image with the name of an annotation
    file that names no image (it cannot be read) is left out: that file is already reported."""
    unread = {os.path.splitext(os.path.basename(a))[0] for a, image in zip(annotations, named) if image is None}
    named = {os.path.basename(p) for p in named if p}
    return [finding("warning", "image-without-annotation", image, "no annotation names this image: never read")
            for image in list_images(images_dir)
            if os.path.basename(image) not in named and os.path.splitext(os.path.basename(image))[0] not in unread]


def plan_coco(path, images_dir):
    if not os.path.isfile(path):
        raise DescriptionError("Annotation file for training was not found: %s (relative paths are resolved "
                               "against the working directory %s)" % (shown(path), os.getcwd()))
    try:
        with open(path, "r") as f:
            content = json.load(f)
    except ValueError as error:
        raise DescriptionError("%s is not valid JSON: %s" % (path, error))
    if not isinstance(content, dict):
        raise DescriptionError("%s must hold a JSON object with ``images``, ``categories`` and ``annotations``" % path)
    if not content.get("images"):
        raise DescriptionError("%s: ``images`` is missing or empty: the COCO dataset refuses it" % path)
    if not content.get("annotations"):
        raise DescriptionError("%s: ``annotations`` is missing or empty: the COCO dataset refuses it" % path)
    if images_dir is None:
        raise DescriptionError("a COCO file needs --images: the folder of the images its ``file_name`` entries name")
    problem = folder_problem("--images", images_dir, path)
    if problem:
        raise DescriptionError(problem)
    categories = [c for c in content.get("categories") or [] if isinstance(c, dict) and c.get("id", 0) != 0]
    plan = Plan("coco", [str(c.get("name")) for c in categories])
    plan.listing["train"] = []
    plan.splits["train"] = (len(content["images"]), "images", lambda decode, workers, progress:
                            scanner.scan_coco(content, path, images_dir, decode, workers, progress))
    plan.extra["train"] = lambda result: never_read(result["images"], images_dir)
    return plan


def plan_attitude(info, path, fmt):
    layout, extension = ATTITUDE_LAYOUTS[fmt]
    classes = required_classes(info) if layout != "mat" else []
    dirs = folders(info, path)
    plan = Plan(fmt, classes)
    for split in SPLITS:
        images_dir, annotations_dir = dirs[split]
        pairs, listing = pair_by_name(images_dir, annotations_dir, extension)
        plan.listing[split] = listing
        if not pairs:
            plan.fatal.append("``%s:`` lists no sample: no png, jpg or jpeg image in %s has a .%s file in %s, and the "
                              "head-pose datasets refuse an empty split" % (split, shown(images_dir), extension,
                                                                           shown(annotations_dir)))
        images, annotations = [p[0] for p in pairs], [p[1] for p in pairs]
        plan.splits[split] = (len(pairs), "samples", lambda decode, workers, progress, i=images, a=annotations:
                              scanner.scan_attitude(i, a, layout, len(classes), decode, workers, progress))
    return plan


def make_plan(path, fmt, images_dir):
    if fmt == "coco" or (fmt is None and path.lower().endswith(".json")):
        return plan_coco(path, images_dir)
    loader = yaml.safe_load if fmt in (None, "darknet", "tfrecord") else yaml.full_load
    info = read_yaml(path, loader)
    fmt = fmt or detect_format(info, path)
    if fmt == "darknet":
        return plan_darknet(info, path)
    if fmt == "tfrecord":
        return plan_tfrecord(info, path)
    if fmt == "segmentation":
        return plan_segmentation(info, path)
    return plan_attitude(info, path, fmt)


# ---- Scanning and the report ---------------------------------------------------------------

def progress_bar(units, unit, split):
    """A tqdm bar for long scans on a terminal, else None."""
    if units < LONG_SCAN.get(unit, LONG_SCAN["samples"]) or not sys.stderr.isatty():
        return None
    import tqdm

    return tqdm.tqdm(total=units, desc="Checking %s" % split, unit="B" if unit == "bytes" else " " + unit,
                     unit_scale=unit == "bytes", leave=False, colour="green")


def scan_split(plan, split, decode, workers):
    units, unit, scan = plan.splits[split]
    bar = progress_bar(units, unit, split)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # Pillow's EXIF and size warnings become findings
            result = scan(decode, workers, bar.update if bar else None)
    finally:
        if bar:
            bar.close()
    findings = list(plan.listing.get(split, [])) + list(result["findings"])
    if split in plan.extra:
        findings += plan.extra[split](result)
    return result, findings


def split_report(plan, result, findings):
    counts = {s: 0 for s in SEVERITIES}
    kinds = {}
    failing, warned = set(), set()
    for sample, severity, kind, _, _, _ in findings:
        counts[severity] += 1
        kinds[kind] = kinds.get(kind, 0) + 1
        if sample is not None:
            (failing if severity == "error" else warned if severity == "warning" else set()).add(sample)
    classes = {name: result["classes"][i] if i < len(result["classes"]) else 0 for i, name in enumerate(plan.classes)}
    return {
        "samples": result["samples"],
        "samples_failing": len(failing),
        "samples_with_warnings": len(warned - failing),
        "objects": result["objects"],
        "samples_without_objects": result["empty"],
        "counts": counts,
        "kinds": kinds,
        "classes": classes,
        "findings": [{"severity": severity, "kind": kind, "file": file, "where": where, "message": message,
                      "sample": sample}
                     for sample, severity, kind, file, where, message in findings],
    }


def exit_status(report):
    if report["fatal"]:
        return 2
    return 1 if any(s["counts"]["error"] for s in report["splits"].values()) else 0


def format_table(rows):
    widths = [max(len(str(row[c])) for row in rows) for c in range(len(rows[0]))]
    return "\n".join("  ".join(str(v).ljust(w) if c == 0 else str(v).rjust(w) for c, (v, w) in
                               enumerate(zip(row, widths))) for row in rows)


def print_report(report, limit, out=None):
    out = out or sys.stdout
    mode = "every image decoded" if report["decode"] else "image headers read (--decode decodes every image)"
    print("Dataset check of %s: %s, %d classes, %s" % (report["description"], report["format"],
                                                     len(report["classes"]), mode), file=out)
    splits = report["splits"]
    if splits:
        rows = [("split", "samples", "failing", "with warnings", "objects", "without objects", "errors", "warnings",
                 "notes")]
        for name, s in splits.items():
            rows.append((name, s["samples"], s["samples_failing"], s["samples_with_warnings"], s["objects"],
                         s["samples_without_objects"], s["counts"]["error"], s["counts"]["warning"],
                         s["counts"]["note"]))
        print("\n" + format_table(rows), file=out)
        if report["classes"]:
            rows = [("class",) + tuple(splits)]
            for name in report["classes"]:
                rows.append((name,) + tuple(s["classes"].get(name, 0) for s in splits.values()))
            print("\n" + format_table(rows), file=out)
    for severity in SEVERITIES:
        groups = {}
        for name, s in splits.items():
            for f in s["findings"]:
                if f["severity"] == severity:
                    groups.setdefault(f["kind"], []).append((name, f))
        if not groups:
            continue
        print("\n%ss" % severity, file=out)
        for kind in sorted(groups):
            items = groups[kind]
            print("  %s (%d)" % (kind, len(items)), file=out)
            shown_items = items if severity == "error" or not limit else items[:limit]
            for split, f in shown_items:
                place = f["file"] + (" " + f["where"] if f["where"] else "")
                print("    %s  %s: %s" % (split, place, f["message"]), file=out)
            if len(shown_items) < len(items):
                print("    ... and %d more (all of them with --json)" % (len(items) - len(shown_items)), file=out)
    for message in report["fatal"]:
        print("\nThe description cannot be used: " + message, file=out)
    status = report["exit_status"]
    failing = sum(s["samples_failing"] for s in splits.values())
    errors = sum(s["counts"]["error"] for s in splits.values())
    if status == 2:
        verdict = "the dataset cannot be built from this description"
    elif status == 1:
        verdict = "%d error(s): %d sample(s) would fail to load" % (errors, failing) if failing else \
            "%d error(s) in the files: the dataset would fail on them" % errors
    else:
        verdict = "every sample loads"
    print("\nResult: %s (exit status %d, %.1f s)" % (verdict, status, report["seconds"]), file=out)


def check(path, split="all", decode=False, workers=0, fmt=None, images_dir=None):
    """Checks the dataset described by `path`; returns the report (a dict, as --json writes it).
    Raises DescriptionError when the description cannot be used."""
    started = time.time()
    plan = make_plan(path, fmt, images_dir)
    wanted = [s for s in plan.splits if split in ("all", s)]
    if not wanted:
        raise DescriptionError("the %s dataset serves no %s split" % (plan.format, split))
    report = {"description": shown(path), "format": plan.format, "classes": plan.classes, "decode": bool(decode),
              "splits": {}, "fatal": list(plan.fatal)}
    for name in wanted:
        result, findings = scan_split(plan, name, decode, workers)
        report["splits"][name] = split_report(plan, result, findings)
    report["seconds"] = time.time() - started
    report["exit_status"] = exit_status(report)
    return report


# ---- Preview: a batch as the training iterator serves it -------------------------------------

def build_dataset(report, path, shape, images_dir):
    fmt = report["format"]
    if fmt == "darknet":
        from vireo.quillon.datasets.darknet import DarknetDatasetYaml
        return DarknetDatasetYaml(path, list(shape))
    if fmt == "tfrecord":
        from vireo.quillon.datasets.tfrecord import TFRecordDatasetYaml
        return TFRecordDatasetYaml(path, shape=list(shape))
    if fmt == "segmentation":
        from vireo.quillon.datasets.segmentation import SegmentationDatasetYaml
        return SegmentationDatasetYaml(path, shape=list(shape), tasks=["segment"])
    if fmt == "coco":
        from vireo.quillon.datasets.segmentation import SegmentationDatasetJsonCOCO
        return SegmentationDatasetJsonCOCO(train_json_file=path, train_images=images_dir, shape=list(shape),
                                           tasks=["segment"])
    from vireo.quillon.datasets import attitude
    cls = {"attitude": attitude.AttitudeDatasetYaml, "attitude-detect": attitude.AttitudeAndDetectDatasetYaml,
           "attitude-json": attitude.AttitudeDatasetJsonYaml}[fmt]
    return cls(shape=list(shape), info_file=path)


def first_batch(report, dataset, count):
    """The first training batch as numpy arrays: images, then boxes / masks / angles."""
    fmt = report["format"]
    if fmt in ("segmentation", "coco"):
        samples = dataset.get_num_train_samples()
        iterator = dataset.build_train_iterator(batch_size=max(1, min(count, samples)))
    else:
        iterator = dataset.build_train_iterator(batch_size=count)
    batch = next(iter(iterator))
    if fmt in ("darknet", "tfrecord"):
        images, (boxes,) = batch
        return images.numpy(), {"boxes": boxes.numpy()}
    if fmt in ("segmentation", "coco"):
        return batch[0].numpy(), {"masks": batch[1].numpy()}
    if fmt == "attitude-detect":
        return batch[0].numpy(), {"boxes": batch[1].numpy(), "angles": batch[2].numpy()}
    return batch[0].numpy(), {"angles": batch[1].numpy()}


PALETTE = [(230, 25, 75), (60, 180, 75), (255, 225, 25), (0, 130, 200), (245, 130, 48), (145, 30, 180),
           (70, 240, 240), (240, 50, 230), (210, 245, 60), (250, 190, 212), (0, 128, 128), (220, 190, 255)]


def draw_axes(draw, pitch, yaw, roll, cx, cy, size):
    """The head's x (red), y (green) and z (blue) axes for angles in degrees."""
    p, y, r = math.radians(pitch), -math.radians(yaw), math.radians(roll)
    ends = [(math.cos(y) * math.cos(r), math.cos(p) * math.sin(r) + math.cos(r) * math.sin(p) * math.sin(y)),
            (-math.cos(y) * math.sin(r), math.cos(p) * math.cos(r) - math.sin(p) * math.sin(y) * math.sin(r)),
            (math.sin(y), -math.cos(y) * math.sin(p))]
    for (dx, dy), colour in zip(ends, ((255, 0, 0), (0, 255, 0), (0, 0, 255))):
        draw.line([(cx, cy), (cx + size * dx, cy + size * dy)], fill=colour, width=3)


def render_preview(report, images, targets, class_offset, out_png):
    import numpy as np
    from PIL import Image, ImageDraw

    names = report["classes"]
    radians = report["format"] == "attitude"
    tiles = []
    for i, image in enumerate(images):
        picture = np.asarray(image, dtype=np.uint8)
        if picture.ndim == 3 and picture.shape[2] == 1:
            picture = picture[..., 0]
        tile = Image.fromarray(picture).convert("RGB")
        if "masks" in targets:
            mask = targets["masks"][i]
            colour = np.zeros(mask.shape + (3,), np.uint8)
            for value in np.unique(mask):
                if value > 0:
                    colour[mask == value] = PALETTE[(int(value) - 1) % len(PALETTE)]
            blended = np.where(mask[..., None] > 0, (np.asarray(tile) * 0.5 + colour * 0.5).astype(np.uint8),
                               np.asarray(tile))
            tile = Image.fromarray(blended)
        draw = ImageDraw.Draw(tile)
        for box in targets.get("boxes", np.zeros((len(images), 0, 5)))[i]:
            x1, y1, x2, y2, label = (float(v) for v in box)
            if x2 <= x1 and y2 <= y1:
                continue
            position = int(label) - class_offset
            colour = PALETTE[position % len(PALETTE)]
            draw.rectangle([x1, y1, x2, y2], outline=colour, width=2)
            name = names[position] if 0 <= position < len(names) else str(int(label))
            draw.text((x1 + 2, y1 + 1), name, fill=colour)
        if "angles" in targets:
            angles = np.asarray(targets["angles"][i], dtype=np.float64).reshape(-1, 3)
            boxes = targets.get("boxes")
            for k, (pitch, yaw, roll) in enumerate(angles):
                if radians:
                    pitch, yaw, roll = (math.degrees(v) for v in (pitch, yaw, roll))
                cx, cy, size = tile.width / 2, tile.height / 2, min(tile.size) / 3
                if boxes is not None and k < len(boxes[i]) and boxes[i][k][2] > boxes[i][k][0]:
                    x1, y1, x2, y2 = (float(v) for v in boxes[i][k][:4])
                    cx, cy, size = (x1 + x2) / 2, (y1 + y2) / 2, max(8.0, (x2 - x1) / 2)
                draw_axes(draw, pitch, yaw, roll, cx, cy, size)
        tiles.append(tile)
    columns = min(4, len(tiles))
    rows = (len(tiles) + columns - 1) // columns
    width, height = tiles[0].size
    sheet = Image.new("RGB", (columns * (width + 4) + 4, rows * (height + 4) + 4), (32, 32, 32))
    for k, tile in enumerate(tiles):
        sheet.paste(tile, (4 + (k % columns) * (width + 4), 4 + (k // columns) * (height + 4)))
    directory = os.path.dirname(os.path.abspath(out_png))
    os.makedirs(directory, exist_ok=True)
    sheet.save(out_png)
    return out_png


def write_preview(report, path, out_png, shape, images_dir, count=8):
    """Builds the dataset class the description is for and saves its first training batch,
    drawn, to `out_png`."""
    import vireo  # noqa: F401  (Keras 2 before TensorFlow loads)

    dataset = build_dataset(report, path, shape, images_dir)
    images, targets = first_batch(report, dataset, count)
    offset = getattr(dataset, "class_offset", getattr(dataset, "label_offset", 0))
    if report["format"] in ("segmentation", "coco"):
        offset = 1
    return render_preview(report, images, targets, offset, out_png)


# ---- Command line ----------------------------------------------------------------------------

def parse_shape(text):
    parts = [int(v) for v in text.replace("x", ",").split(",") if v.strip()]
    if len(parts) == 1:
        parts = parts * 2
    if len(parts) not in (2, 3) or min(parts) < 1:
        raise argparse.ArgumentTypeError("expected HEIGHT,WIDTH (or one size), got %r" % text)
    return parts[:2] + [3]


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m vireo.quillon.datasets.tools.check",
        description="Check every sample of a dataset with the rules its dataset class applies. Exit status: 0 when "
                    "every sample loads, 1 when some sample would fail, 2 when the description cannot be used.")
    parser.add_argument("description", help="dataset description (YAML), or a COCO JSON file")
    parser.add_argument("--split", choices=("train", "validation", "all"), default="all",
                        help="the split(s) to check (default all)")
    parser.add_argument("--decode", action="store_true", help="decode every image instead of reading its header")
    parser.add_argument("--json", metavar="REPORT", help="write the report as JSON to this file")
    parser.add_argument("--preview", metavar="PNG",
                        help="write the first training batch, as the training iterator serves it, drawn to this file")
    parser.add_argument("--workers", type=int, default=0, help="threads checking samples (default: one per core)")
    parser.add_argument("--format", choices=FORMATS, help="the dataset format, when it cannot be recognised")
    parser.add_argument("--images", help="folder of the images of a COCO file")
    parser.add_argument("--shape", type=parse_shape, default=[320, 320, 3],
                        help="HEIGHT,WIDTH of the preview samples (default 320,320)")
    parser.add_argument("--limit", type=int, default=20,
                        help="lines printed per kind of warning or note (0: all; errors are always all listed)")
    args = parser.parse_args(argv)

    try:
        report = check(args.description, args.split, args.decode, args.workers, args.format, args.images)
    except DescriptionError as error:
        print("The description cannot be used: %s" % error, file=sys.stderr)
        if args.json:
            with open(args.json, "w", encoding="utf-8") as f:
                json.dump({"description": shown(args.description), "fatal": [str(error)], "exit_status": 2}, f,
                          indent=1)
        return 2
    print_report(report, args.limit)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(report, f, indent=1)
        print("Report written to %s" % args.json)
    if args.preview:
        if report["exit_status"] == 2:
            print("No preview: the dataset cannot be built from this description")
        else:
            try:
                print("Preview of the first training batch written to %s"
                      % write_preview(report, args.description, args.preview, args.shape, args.images))
            except Exception as error:  # the iterator's own error is the finding here
                print("No preview: the training iterator failed: %s: %s"
                      % (type(error).__name__, str(error).splitlines()[0] if str(error) else ""))
                if report["exit_status"] == 0:
                    return 1
    return report["exit_status"]


if __name__ == "__main__":
    sys.exit(main())
