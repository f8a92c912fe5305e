"""Pixels in memory: NumPy arrays, Pillow images and bytes-like rows.

The oracle is the same pixels written as a PAM ("P7", WIDTH, HEIGHT, DEPTH,
MAXVAL 255, TUPLTYPE, ENDHDR, then the samples row by row) or a PPM ("P6")
and converted with convert_bytes: the same options give the same bytes.
"""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys
from typing import Any, Callable, Dict, List, Tuple

import pytest

from test_quorvelpbm import PACKAGE_DIR  # also points the package at the built library

import quorvelpbm  # noqa: E402  (after the path set-up above)

if os.environ.get("CI") == "true":  # CI installs both: a missing one fails there
    import numpy as np
    from PIL import Image
else:
    np = pytest.importorskip("numpy")
    Image = pytest.importorskip("PIL.Image")

TUPLTYPES = {1: "GRAYSCALE", 2: "GRAYSCALE_ALPHA", 3: "RGB", 4: "RGB_ALPHA"}
OPTIONS: Dict[str, Dict[str, Any]] = {
    "defaults": {},
    "atkinson-raw": {"method": "atkinson", "raw": True},
    "luma-inverted": {"method": "luma", "threshold": 140, "invert": True},
    "bmp": {"to": "bmp", "bpp": 1},
    "png": {"to": "png"},
}


def pam(pixels: Any) -> bytes:
    """A PAM of an H x W (grey) or H x W x C array of uint8 samples."""
    packed = np.ascontiguousarray(pixels.reshape(pixels.shape[0], pixels.shape[1], -1))
    height, width, depth = packed.shape
    head = f"P7\nWIDTH {width}\nHEIGHT {height}\nDEPTH {depth}\nMAXVAL 255\nTUPLTYPE {TUPLTYPES[depth]}\nENDHDR\n"
    return head.encode("ascii") + packed.tobytes()


def samples(*shape: int, seed: int = 1) -> Any:
    # Every level, so that each method meets both sides of its thresholds.
    return np.random.default_rng(seed).integers(0, 256, size=shape, dtype=np.uint8)


BASE = samples(9, 13, 4)
# name: (the array, its pixels as a PAM would hold them, whether it is read in place)
ARRAYS: Dict[str, Tuple[Callable[[], Any], Callable[[Any], Any], bool]] = {
    "grey": (lambda: BASE[:, :, 0].copy(), lambda a: a, True),
    "grey-alpha": (lambda: BASE[:, :, :2].copy(), lambda a: a, True),
    "rgb": (lambda: BASE[:, :, :3].copy(), lambda a: a, True),
    "rgba": (lambda: BASE, lambda a: a, True),
    "sliced": (lambda: BASE[::2, 1:-1], lambda a: a, True),
    "rows-reused": (lambda: np.broadcast_to(BASE[3, :, :3].copy(), (7, 13, 3)), lambda a: a, True),
    "grey-rows-reused": (lambda: np.broadcast_to(BASE[3, :, 0].copy(), (5, 13)), lambda a: a, True),
    "rgb-view-of-rgba": (lambda: BASE[:, :, :3], lambda a: a, False),
    "transposed": (lambda: BASE.transpose(1, 0, 2), lambda a: a, False),
    "reversed": (lambda: BASE[::-1, ::-1], lambda a: a, False),
    "bgr": (lambda: BASE[:, :, :3].copy(), lambda a: a[:, :, ::-1], True),
}


@pytest.mark.parametrize("options", OPTIONS.values(), ids=OPTIONS.keys())
@pytest.mark.parametrize("name", ARRAYS)
def test_an_array_converts_as_a_pam_of_its_pixels(name: str, options: Dict[str, Any],
                                                  monkeypatch: pytest.MonkeyPatch) -> None:
    make, as_pam, in_place = ARRAYS[name]
    array = make()
    expected = quorvelpbm.convert_bytes(pam(as_pam(array)), **options)
    if in_place:  # a copy would fail the call
        monkeypatch.setattr(np, "ascontiguousarray", None)
    layout = {"layout": "bgr"} if name == "bgr" else {}
    converted, picture = quorvelpbm.from_pixels(array, **layout, return_picture=True, **options)
    assert converted == expected
    assert (picture.width, picture.height) == (array.shape[1], array.shape[0])


PILLOW_MODES = ["1", "L", "LA", "P", "P-transparent", "P-alpha-palette", "RGB", "RGBA"]


@pytest.mark.parametrize("mode", PILLOW_MODES)
def test_a_pillow_image_converts_as_pillow_s_own_rgb(mode: str) -> None:
    image = Image.fromarray(BASE, "RGBA")
    if mode == "P-transparent":
        image = image.convert("RGB").quantize(16)
        image.info["transparency"] = 3
    elif mode == "P-alpha-palette":
        image = image.convert("P")  # an RGBA palette
    else:
        image = image.convert(mode if mode in ("LA", "RGBA") else "RGB").convert(mode)
    target = "RGBA" if mode in ("LA", "RGBA", "P-transparent", "P-alpha-palette") else "RGB"
    rgb = np.frombuffer(image.convert(target).tobytes(), np.uint8).reshape(9, 13, len(target))
    oracle = pam(rgb) if target == "RGBA" else b"P6\n13 9\n255\n" + rgb.tobytes()
    for options in OPTIONS.values():
        assert quorvelpbm.from_pixels(image, **options) == quorvelpbm.convert_bytes(oracle, **options)


def test_bytes_like_rows_convert_at_their_stride_in_their_layout() -> None:
    rgba = BASE[:4, :5]
    padded = np.zeros((4, 23), np.uint8)  # rows of 20 bytes, 3 more between them
    padded[:, :20] = rgba.reshape(4, 20)
    bgra = rgba[:, :, [2, 1, 0, 3]]
    cases = [
        (bytearray(padded.tobytes()), "rgba", 23, rgba),
        (padded.tobytes()[:-3], "rgba", 23, rgba),  # the last row needs no padding
        (memoryview(bgra.tobytes()), "bgra", None, rgba),
        (bytes(bgra[:, :, :3].tobytes()), "bgr", None, rgba[:, :, :3]),
        (bytearray(rgba[1, :, :2].tobytes()), "graya", 0, np.broadcast_to(rgba[1, :, :2], (4, 5, 2))),
    ]
    for data, layout, stride, pixels in cases:
        converted = quorvelpbm.from_pixels(data, width=5, height=4, layout=layout, stride=stride, raw=True)
        assert converted == quorvelpbm.convert_bytes(pam(pixels), raw=True), layout


def raw_pbm_bits(pbm: bytes, width: int, height: int) -> List[List[bool]]:
    """The pixels of a raw PBM by its rules: rows of whole bytes, most
    significant bit first, 1 for black."""
    row = (width + 7) // 8
    raster = pbm[len(pbm) - row * height:]
    return [[bool(raster[y * row + x // 8] >> (7 - x % 8) & 1) for x in range(width)] for y in range(height)]


@pytest.mark.parametrize("options", [{}, {"method": "floyd-steinberg"}, {"method": "sauvola", "window": 3}])
def test_decide_gives_the_pbm_s_pixels_as_a_bool_array(options: Dict[str, Any]) -> None:
    for array in (BASE, BASE[:, :8, 0], BASE[1:2, :1, :3]):
        black = quorvelpbm.decide(array, **options)
        pbm = quorvelpbm.convert_bytes(pam(array), to="pbm", raw=True, **options)
        assert black.dtype == np.bool_ and black.shape == array.shape[:2]
        assert black.tolist() == raw_pbm_bits(pbm, array.shape[1], array.shape[0])


ERRORS: Dict[str, Tuple[Callable[[], Any], Dict[str, Any], type, str]] = {
    "dtype": (lambda: BASE.astype(np.uint16), {}, TypeError, "uint8"),
    "shape-5-channels": (lambda: np.zeros((2, 2, 5), np.uint8), {}, ValueError, "shape"),
    "shape-1-d": (lambda: np.zeros(6, np.uint8), {}, ValueError, "shape"),
    "layout-samples": (lambda: BASE, {"layout": "bgr"}, ValueError, "samples"),
    "array-with-width": (lambda: BASE, {"width": 3}, TypeError, "array"),
    "short-buffer": (lambda: bytearray(5 * 4 * 3 - 1), {"width": 5, "height": 4, "layout": "rgb"}, ValueError,
                     "need 60 bytes"),
    "short-stride": (lambda: bytes(100), {"width": 5, "height": 4, "layout": "rgb", "stride": 14}, ValueError,
                     "stride"),
    "unknown-layout": (lambda: bytes(20), {"width": 5, "height": 4, "layout": "cmyk"}, ValueError, "layout"),
    "no-height": (lambda: bytes(20), {"width": 5, "layout": "gray"}, TypeError, "height="),
    "not-bytes": (lambda: "text", {"width": 1, "height": 1, "layout": "gray"}, TypeError, "str"),
    "pillow-cmyk": (lambda: Image.new("CMYK", (3, 2)), {}, ValueError, "'CMYK'"),
}


@pytest.mark.parametrize("name", ERRORS)
def test_what_cannot_be_read_is_refused_with_a_message(name: str) -> None:
    make, arguments, error, words = ERRORS[name]
    for call in (quorvelpbm.from_pixels, quorvelpbm.decide):
        with pytest.raises(error) as refused:
            call(make(), **arguments)
        assert words in str(refused.value)


NO_NUMPY = """
import sys
sys.path.insert(0, sys.argv[1])
import quorvelpbm
assert "numpy" not in sys.modules and "PIL" not in sys.modules
assert quorvelpbm.convert_bytes(b"P1 2 1 0 1", to="pbm", raw=True).endswith(b"2 1\\n\\x40")
# Rows given with their geometry need no NumPy.
assert quorvelpbm.from_pixels(b"\\xff\\x00", width=2, height=1, layout="gray", raw=True).endswith(b"\\x40")
for call, arguments in ((quorvelpbm.from_pixels, {}), (quorvelpbm.decide, {"width": 2, "height": 1, "layout": "gray"})):
    try:
        call(b"\\xff\\x00", **arguments)
    except ImportError as error:
        assert "install NumPy (python3-numpy" in str(error), error
    else:
        raise AssertionError(call)
try:
    import numpy
except ImportError:
    print("no numpy")
"""


def test_without_numpy_the_module_works_and_says_what_to_install(tmp_path: pathlib.Path) -> None:
    # A virtual environment sees no system packages: no NumPy, no Pillow.
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(tmp_path / "env")], check=True, timeout=120)
    python = tmp_path / "env" / "bin" / "python"
    done = subprocess.run([str(python), "-B", "-c", NO_NUMPY, str(PACKAGE_DIR)], capture_output=True, text=True,
                          timeout=120, env={**os.environ, "PYTHONPATH": ""})
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "no numpy"


def test_importing_the_module_imports_neither_numpy_nor_pillow() -> None:
    code = f"import sys; sys.path.insert(0, {str(PACKAGE_DIR)!r}); import quorvelpbm; " \
           "print(sorted({'numpy', 'PIL'} & set(sys.modules)))"
    done = subprocess.run([sys.executable, "-B", "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout.strip() == "[]", done.stderr


def test_the_output_ceiling_and_the_pixel_budget_hold_for_pixels() -> None:
    size = len(quorvelpbm.from_pixels(BASE))
    assert len(quorvelpbm.from_pixels(BASE, max_output=size)) == size
    for limits in ({"max_output": size - 1}, {"max_pixels": 9 * 13 - 1}):
        with pytest.raises(quorvelpbm.ConversionError) as refused:
            quorvelpbm.from_pixels(BASE, **limits)
        assert refused.value.status == quorvelpbm.Status.ETOO_MANY_PIXELS and refused.value.path == "<pixels>"
