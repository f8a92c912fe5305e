"""width=, height= and fit=: the same size and bits as the tool's --width,
--height and --fit, and bad sizes refused before anything is read."""
import pathlib

import pytest

from test_quorvelpbm import pbm_plain  # also points the package at the built library

import quorvelpbm  # noqa: E402  (after the path set-up above)


def white(x: int, y: int) -> bool:
    return (x * 5 + y * 3) % 7 < 3


def test_a_pbm_twice_its_size_doubles_each_pixel(tmp_path: pathlib.Path) -> None:
    # Bilinear at twice the size, decided at the middle: each pixel twice across and down.
    pbm = pbm_plain(11, 3, [not white(x, y) for y in range(3) for x in range(11)])
    want = pbm_plain(22, 6, [not white(x // 2, y // 2) for y in range(6) for x in range(22)])
    for size in ({"width": 22}, {"height": 6}, {"fit": (22, 100)}, {"width": 22, "height": 6}):
        assert quorvelpbm.convert_bytes(pbm, to="pbm", **size) == want, size
    src, dst = tmp_path / "in.pbm", tmp_path / "out.pbm"
    src.write_bytes(pbm)
    picture = quorvelpbm.convert(src, dst, to="pbm", width=22)
    assert dst.read_bytes() == want
    assert (picture.width, picture.height) == (11, 3)  # the picture read


@pytest.mark.parametrize(
    "size",
    [{"width": 0}, {"height": -1}, {"width": 1 << 31}, {"width": 2.5}, {"width": True}, {"fit": (10,)},
     {"fit": (0, 10)}, {"fit": [10, 10]}, {"fit": (10, 10), "width": 5}],
)
def test_bad_sizes_are_value_errors(size: dict) -> None:
    with pytest.raises(ValueError):
        quorvelpbm.convert_bytes(b"P1 1 1 0", **size)
