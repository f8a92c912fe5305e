"""The output's layout and resolution through Python: the keywords map to
qpbm_options, and a phone's JPEG comes out upright."""
import io
import struct

import pytest

from test_quorvelpbm import bmp24, pattern, pbm_plain  # also points the package at the built library

import quorvelpbm  # noqa: E402  (after the path set-up above)

WIDTH, HEIGHT = 13, 4


def black_of(pixels) -> list:
    return [not all(c >= 100 for c in p) for row in pixels for p in row]


def test_turns_flips_and_mirrors_give_the_picture_they_name() -> None:
    pixels = pattern(WIDTH, HEIGHT, 2)
    bmp = bmp24(pixels)
    turned = [[pixels[HEIGHT - 1 - x][y] for x in range(HEIGHT)] for y in range(WIDTH)]  # clockwise
    cases = [
        ({"rotate": 90}, HEIGHT, WIDTH, turned),
        ({"rotate": 180, "flip": True, "mirror": True}, WIDTH, HEIGHT, pixels),
    ]
    for keywords, width, height, expected in cases:
        assert quorvelpbm.convert_bytes(bmp, **keywords) == pbm_plain(width, height, black_of(expected)), keywords


def test_dpi_is_written_to_a_bmp_in_pixels_per_metre() -> None:
    bmp = bmp24(pattern(WIDTH, HEIGHT, 2))
    for dpi, expected in [(300, (11811, 11811)), ((203, 600), (7992, 23622))]:
        out = quorvelpbm.convert_bytes(bmp, to="bmp", dpi=dpi)
        assert struct.unpack_from("<ii", out, 38) == expected


@pytest.mark.parametrize("keywords", [{"rotate": 45}, {"rotate": True}, {"dpi": 0}, {"dpi": (300,)}, {"dpi": "300"}])
def test_bad_values_are_value_errors(keywords) -> None:
    with pytest.raises(ValueError):
        quorvelpbm.convert_bytes(bmp24(pattern(WIDTH, HEIGHT, 2)), **keywords)


def test_a_phone_photo_lying_on_its_side_comes_out_upright() -> None:
    Image = pytest.importorskip("PIL.Image")
    upright = Image.new("L", (40, 64), 255)
    upright.paste(0, (0, 0, 16, 8))  # a black block at the top left, 8 x 8 aligned
    stored = upright.transpose(Image.Transpose.ROTATE_90)  # 64 x 40, as the sensor saw it
    exif = Image.Exif()
    exif[0x0112] = 6
    data = io.BytesIO()
    stored.save(data, "JPEG", quality=100, exif=exif.tobytes())
    lossless = io.BytesIO()
    upright.save(lossless, "PNG")
    expected = quorvelpbm.convert_bytes(lossless.getvalue(), method="luma", raw=True)
    out = quorvelpbm.convert_bytes(data.getvalue(), method="luma", raw=True)
    assert out.startswith(b"P4\n# Created by Quorvel\n40 64\n")
    assert out == expected
    kept = quorvelpbm.convert_bytes(data.getvalue(), method="luma", raw=True, auto_orient=False)
    assert kept.startswith(b"P4\n# Created by Quorvel\n64 40\n")
