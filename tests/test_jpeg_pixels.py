"""JPEG files read by the dataset loaders give exactly the pixels, warnings and errors of
np.asarray(Image.open(path).convert("RGB")): plain files through the native decoder, every
other file through Pillow itself."""
import io
import warnings

import cv2
import numpy as np
import pytest
from PIL import Image, ImageFile

from test_dataset_steps import darknet_dataset, element


def texture(width, height, seed=0):
    """Smooth colours with some detail, so that every coefficient and upsampling step matters."""
    rng = np.random.default_rng(seed)
    base = rng.integers(0, 256, (max(height // 4, 1), max(width // 4, 1), 3), dtype=np.uint8)
    smooth = cv2.resize(base, (width, height), interpolation=cv2.INTER_CUBIC)
    noise = rng.integers(-20, 21, (height, width, 3))
    return np.clip(smooth.astype(int) + noise, 0, 255).astype(np.uint8)


def pillow_jpeg(width, height, mode="RGB", **options):
    image = Image.fromarray(texture(width, height)).convert(mode)
    buffer = io.BytesIO()
    image.save(buffer, format="JPEG", **options)
    return buffer.getvalue()


def opencv_jpeg(width, height, sampling):
    ok, data = cv2.imencode(".jpg", texture(width, height), [cv2.IMWRITE_JPEG_SAMPLING_FACTOR, sampling])
    assert ok
    return data.tobytes()


def with_orientation(data):
    image = Image.open(io.BytesIO(data))
    exif = Image.Exif()
    exif[0x0112] = 6  # rotate 90: Pillow leaves the pixels as stored
    buffer = io.BytesIO()
    image.save(buffer, format="JPEG", exif=exif.tobytes(), quality=95)
    return buffer.getvalue()


def multi_picture():
    first, second = (Image.fromarray(texture(40, 30, seed)) for seed in (1, 2))
    buffer = io.BytesIO()
    first.save(buffer, format="MPO", save_all=True, append_images=[second])
    return buffer.getvalue()


PLAIN = {
    "4:2:0": lambda: pillow_jpeg(61, 47),
    "4:2:2": lambda: pillow_jpeg(61, 47, subsampling=1),
    "4:4:4": lambda: pillow_jpeg(61, 47, subsampling=0, quality=100),
    "4:1:1": lambda: opencv_jpeg(45, 33, cv2.IMWRITE_JPEG_SAMPLING_FACTOR_411),
    "4:4:0": lambda: opencv_jpeg(45, 33, cv2.IMWRITE_JPEG_SAMPLING_FACTOR_440),
    "progressive": lambda: pillow_jpeg(64, 48, progressive=True),
    "optimized, quality 5": lambda: pillow_jpeg(33, 17, optimize=True, quality=5),
    "restart markers": lambda: pillow_jpeg(80, 40, restart_marker_blocks=3),
    "grey": lambda: pillow_jpeg(23, 31, mode="L"),
    "one pixel": lambda: pillow_jpeg(1, 1),
    "one row": lambda: pillow_jpeg(300, 1),
    "orientation tag": lambda: with_orientation(pillow_jpeg(40, 30)),
}
OTHER = {
    "CMYK": lambda: pillow_jpeg(20, 12, mode="CMYK"),
    "multi-picture (MPO)": multi_picture,
    "corrupt scan data": lambda: (lambda d: d[:-60] + bytes(40) + d[-20:])(pillow_jpeg(64, 64, quality=90)),
}


def read_both(tmp_path, data):
    path = tmp_path / "picture.jpg"
    path.write_bytes(data)
    expected = np.asarray(Image.open(path).convert("RGB"))
    image, _, _ = darknet_dataset(tmp_path / "dk").load_instance(element(path), False)
    return image, expected


@pytest.fixture
def pillow_opens(count_calls):
    """Counts Image.open calls (Pillow's own open still does the work)."""
    return count_calls(Image, "open")


@pytest.mark.parametrize("make", PLAIN.values(), ids=list(PLAIN))
def test_plain_jpegs_are_decoded_natively_to_pillows_bytes(tmp_path, make, pillow_opens):
    data = make()
    path = tmp_path / "picture.jpg"
    path.write_bytes(data)
    expected = np.asarray(Image.open(path).convert("RGB"))
    pillow_opens.clear()
    image, _, _ = darknet_dataset(tmp_path / "dk").load_instance(element(path), False)
    assert pillow_opens == [], "a plain JPEG went through Pillow"
    assert image.dtype == np.uint8 and image.flags.c_contiguous
    np.testing.assert_array_equal(image, expected)


@pytest.mark.parametrize("make", OTHER.values(), ids=list(OTHER))
def test_other_jpegs_go_through_pillow(tmp_path, make, pillow_opens):
    image, expected = read_both(tmp_path, make())
    assert len(pillow_opens) == 2  # the reference above, then the loader's own
    np.testing.assert_array_equal(image, expected)


@pytest.mark.parametrize("load_truncated", [True, False])
@pytest.mark.parametrize("cut", [0.5, 0.97])
def test_truncated_jpegs_give_pillows_outcome(tmp_path, monkeypatch, cut, load_truncated):
    monkeypatch.setattr(ImageFile, "LOAD_TRUNCATED_IMAGES", load_truncated)
    data = pillow_jpeg(64, 64, quality=90)
    if load_truncated:  # Pillow fills in the missing part
        image, expected = read_both(tmp_path, data[:int(len(data) * cut)])
        np.testing.assert_array_equal(image, expected)
        return
    path = tmp_path / "cut.jpg"
    path.write_bytes(data[:int(len(data) * cut)])
    with pytest.raises(OSError) as by_pillow, Image.open(path) as image:
        image.convert("RGB")
    with pytest.raises(OSError) as by_loader:
        darknet_dataset(tmp_path / "dk").load_instance(element(path), False)
    assert str(by_loader.value) == str(by_pillow.value)


def test_pillows_pixel_limit_still_warns_and_refuses(tmp_path, monkeypatch):
    path = tmp_path / "wide.jpg"
    path.write_bytes(pillow_jpeg(40, 30))
    ds = darknet_dataset(tmp_path / "dk")
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 1000)
    with pytest.warns(Image.DecompressionBombWarning):
        ds.load_instance(element(path), False)
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 500)
    with pytest.raises(Image.DecompressionBombError):
        ds.load_instance(element(path), False)
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", None)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        image, _, _ = ds.load_instance(element(path), False)
    assert image.shape == (30, 40, 3)


def test_a_png_named_jpg_and_a_missing_file_behave_as_with_pillow(tmp_path):
    path = tmp_path / "really.jpg"
    Image.fromarray(texture(12, 9)).save(path, format="PNG")
    image, expected = read_both(tmp_path, path.read_bytes())
    np.testing.assert_array_equal(image, expected)
    with pytest.raises(FileNotFoundError):
        darknet_dataset(tmp_path / "dk2").load_instance(element(tmp_path / "missing.jpg"), False)
