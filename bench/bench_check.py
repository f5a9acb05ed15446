"""Dataset check throughput on a Darknet dataset: label files checked per second with image
header checks on 2 workers, against np.genfromtxt + PIL.Image.open(...).verify() run serially
on the same files; the same with every image decoded (--decode); and the whole check (listing,
scanning, report) as the command runs it.

Data: 4,000 generated 640 x 480 JPEGs with 1-10 boxes each, made once under
build/bench-data/check and reused. Every rate is the best of its passes over a warm file cache
(a warm-up pass reads the files into it): seven passes for the compared scans, interleaved side
by side (the header scan runs five times over the files per pass), in each of five fresh
processes (bench/common.py, in_fresh_processes); three for the whole command.

Standalone: python bench/bench_check.py [--count N]
"""
import os
import random
import sys
import time
import warnings

import numpy as np
import yaml
from PIL import Image, ImageDraw

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from vireo.quillon.datasets.tools import check, scanner  # noqa: E402

from common import in_fresh_processes, interleave  # noqa: E402

ROOT = os.path.join("build", "bench-data", "check")
COUNT, WIDTH, HEIGHT = 4000, 640, 480
WORKERS = 2
TARGET_FILES_PER_SECOND = 5000
TARGET_RATIO = 10


def generate(count=COUNT):
    """Writes the dataset once; returns the description file."""
    description = os.path.join(ROOT, "dataset.yaml")
    if os.path.exists(description):
        with open(description) as f:
            if yaml.safe_load(f).get("count") == count:
                return description
    rng = random.Random(0)
    images, labels = os.path.join(ROOT, "images"), os.path.join(ROOT, "labels")
    os.makedirs(images, exist_ok=True)
    os.makedirs(labels, exist_ok=True)
    gradient = np.linspace(0, 255, WIDTH, dtype=np.float32)[None, :, None]
    for i in range(count):
        base = (gradient * np.array([1.0, 0.6, 0.3]) + rng.randrange(60)).clip(0, 255)
        img = Image.fromarray(np.broadcast_to(base, (HEIGHT, WIDTH, 3)).astype(np.uint8))
        draw = ImageDraw.Draw(img)
        lines = []
        for _ in range(rng.randint(1, 10)):
            bw, bh = rng.uniform(0.05, 0.4), rng.uniform(0.05, 0.4)
            xc, yc = rng.uniform(bw / 2, 1 - bw / 2), rng.uniform(bh / 2, 1 - bh / 2)
            box = [(xc - bw / 2) * WIDTH, (yc - bh / 2) * HEIGHT, (xc + bw / 2) * WIDTH, (yc + bh / 2) * HEIGHT]
            draw.ellipse(box, fill=tuple(rng.randrange(256) for _ in range(3)))
            lines.append(f"{rng.randrange(3)} {xc:.6f} {yc:.6f} {bw:.6f} {bh:.6f}")
        img.save(os.path.join(images, f"{i:05d}.jpg"), quality=90)
        with open(os.path.join(labels, f"{i:05d}.txt"), "w") as f:
            f.write("\n".join(lines) + "\n")
    split = {"images": os.path.abspath(images), "annotations": os.path.abspath(labels)}
    with open(description, "w") as f:
        yaml.safe_dump({"type": "darknet", "classes": ["a", "b", "c"], "train": split, "validation": split,
                        "count": count}, f)
    return description


def best_rates(sides, rounds=5):
    """(items per wall-clock second, CPU seconds per item) of every side of `sides` (name ->
    (items, fn)): the best of `rounds` passes after a warm-up pass, the sides' passes
    interleaved. The CPU time is the whole process's (every thread), so it stays meaningful
    when other work shares the machine."""
    def pass_of(items, fn):
        def measure():
            start, cpu = time.perf_counter(), time.process_time()
            fn(items)
            return len(items) / (time.perf_counter() - start), (time.process_time() - cpu) / len(items)
        return measure

    results = interleave({name: pass_of(items, fn) for name, (items, fn) in sides.items()}, rounds=rounds)
    return {name: (max(r[0] for r in values), min(r[1] for r in values)) for name, values in results.items()}


def serial_baseline(pairs):
    """np.genfromtxt and Image.verify(), one file after the other."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for image, label in pairs:
            np.genfromtxt(label)
            with Image.open(image) as picture:
                picture.verify()


def serial_decode(pairs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for image, label in pairs:
            np.genfromtxt(label)
            with Image.open(image) as picture:
                picture.convert("RGB")


def sample_pairs():
    images = check.list_images(os.path.join(ROOT, "images"))
    return [(i, os.path.join(ROOT, "labels", os.path.basename(i)[:-4] + ".txt")) for i in images]


def scan_rates(count):
    """The four compared scans in interleaved rounds, each side's best round: a change of the
    machine's load hits both sides of a comparison alike. Every pass takes 0.2-0.4 s. Returns
    {side: (items per wall-clock second, CPU seconds per item)}."""
    generate(count)
    pairs = sample_pairs()

    def scan(items, decode=False):
        result = scanner.scan_darknet([i for i, _ in items], [a for _, a in items], 3, decode, WORKERS)
        assert result["samples"] == len(items) and not result["findings"], result["findings"][:3]

    def scans(times):
        """The header scan of every file, `times` over: one scan takes some 50 ms, too short a
        pass to time on a shared machine."""
        def run_scans(_):
            for _ in range(times):
                scan(pairs)
        return pairs * times, run_scans

    return best_rates({"headers": scans(5), "baseline": (pairs[:1500], serial_baseline),
                       "decoding": (pairs[:1000], lambda items: scan(items, True)),
                       "baseline decoding": (pairs[:300], serial_decode)}, rounds=7)


def run(count=COUNT):
    description = generate(count)
    pairs = sample_pairs()
    # The four scans in fresh processes (two decode with Pillow), each side's best.
    rates = in_fresh_processes(__file__, "scan_rates", count)
    best = {name: (max(r[name][0] for r in rates), min(r[name][1] for r in rates)) for name in rates[0]}
    (headers, headers_cpu), (baseline, baseline_cpu) = best["headers"], best["baseline"]
    (decoding, decoding_cpu), (baseline_decoding, baseline_decoding_cpu) = best["decoding"], best["baseline decoding"]
    whole, _ = best_rates({"whole": (pairs, lambda items: check.check(description, split="train",
                                                                      workers=WORKERS))}, rounds=3)["whole"]
    return [
        {"name": "check: Darknet samples/s, header checks, %d workers (target %d)" % (WORKERS, TARGET_FILES_PER_SECOND),
         "value": headers, "unit": "samples/s", "baseline": TARGET_FILES_PER_SECOND},
        {"name": "check: header checks vs genfromtxt + Image.verify() serial (target x%d)" % TARGET_RATIO,
         "value": headers, "unit": "samples/s", "baseline": baseline},
        {"name": "check: CPU per sample, header checks vs genfromtxt + verify (us)", "value": headers_cpu * 1e6,
         "unit": "us", "baseline": baseline_cpu * 1e6},
        {"name": "check: samples/s on %d idle cores, from CPU time (target %d)" % (WORKERS, TARGET_FILES_PER_SECOND),
         "value": WORKERS / headers_cpu, "unit": "samples/s", "baseline": TARGET_FILES_PER_SECOND},
        {"name": "check --decode: samples/s, %d workers, vs genfromtxt + Pillow decode serial" % WORKERS,
         "value": decoding, "unit": "samples/s", "baseline": baseline_decoding},
        {"name": "check --decode: CPU per sample vs genfromtxt + Pillow decode (us)", "value": decoding_cpu * 1e6,
         "unit": "us", "baseline": baseline_decoding_cpu * 1e6},
        {"name": "check: whole command (listing, scan, report), samples/s", "value": whole, "unit": "samples/s",
         "baseline": None},
    ]


if __name__ == "__main__":
    count = int(sys.argv[sys.argv.index("--count") + 1]) if "--count" in sys.argv else COUNT
    for row in run(count):
        ratio = "" if not row["baseline"] else "  (x%.2f of %.0f)" % (row["value"] / row["baseline"], row["baseline"])
        print("%-80s %10.1f %s%s" % (row["name"], row["value"], row["unit"], ratio))
