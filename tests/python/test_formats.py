"""`to=`: any input to any output, through the files and through memory."""
import pathlib

import pytest

from test_quorvelpbm import bmp24, pattern, pbm_plain  # also points the package at the built library

import quorvelpbm  # noqa: E402  (after the path set-up above)

WIDTH, HEIGHT = 13, 4


def channels_black() -> list:
    return [not all(c >= 100 for c in p) for row in pattern(WIDTH, HEIGHT, 2) for p in row]


def test_a_bmp_becomes_a_bmp_of_its_pbm_bits_and_a_pbm_a_pbm(tmp_path: pathlib.Path) -> None:
    black = channels_black()
    bmp = bmp24(pattern(WIDTH, HEIGHT, 2))
    pbm = pbm_plain(WIDTH, HEIGHT, black)
    assert quorvelpbm.convert_bytes(bmp) == pbm
    # BMP to BMP: the picture of those bits, as PBM to BMP writes it.
    assert quorvelpbm.convert_bytes(bmp, to="bmp") == quorvelpbm.convert_bytes(pbm)
    # PBM to PBM, raw then back to plain, and inverted.
    raw = quorvelpbm.convert_bytes(pbm, to="pbm", raw=True)
    head = b"P4\n# Created by Quorvel\n13 4\n"
    assert raw.startswith(head) and len(raw) == len(head) + 2 * HEIGHT  # rows of two bytes
    assert quorvelpbm.convert_bytes(raw, to="pbm") == pbm
    assert quorvelpbm.convert_bytes(pbm, to="pbm", invert=True) == pbm_plain(WIDTH, HEIGHT, [not b for b in black])
    src, dst = tmp_path / "in.bmp", tmp_path / "out.bmp"
    src.write_bytes(bmp)
    quorvelpbm.convert(src, dst, to="bmp", bpp=1)
    assert dst.read_bytes() == quorvelpbm.convert_bytes(pbm, bpp=1)


def test_an_unknown_format_is_a_value_error() -> None:
    with pytest.raises(ValueError):
        quorvelpbm.convert_bytes(b"P1 1 1 0", to="gif")
