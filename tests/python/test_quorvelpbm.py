"""The quorvelpbm package over the qpbm library.

Expected bytes come from the file layouts: a BMP is a 14-byte file header
and a 40-byte information header, then 24-bit rows stored bottom row first,
each padded with zeros to a multiple of 4 bytes; a pixel is white when its
blue, green and red are each 100 or more. A PBM written by the library is
"P1\\n# Created by Quorvel\\n<w> <h>\\n" and then one "0 " (white) or "1 "
(black) token per pixel, top row first, with a line feed after every 30th
token of the file.

Run with QUORVELPBM_LIBRARY naming the built libqpbm.so.1 (CTest does);
without it, build/libqpbm.so.1 of the source tree is used if present.
"""

from __future__ import annotations

import errno
import os
import pathlib
import re
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time
from typing import Callable, List, Optional, Sequence, Tuple, Type

import pytest

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]
PACKAGE_DIR = SOURCE_DIR / "python"
HEADER = SOURCE_DIR / "library" / "qpbm.h"

if "QUORVELPBM_LIBRARY" not in os.environ and (SOURCE_DIR / "build" / "libqpbm.so.1").exists():
    os.environ["QUORVELPBM_LIBRARY"] = str(SOURCE_DIR / "build" / "libqpbm.so.1")
sys.path.insert(0, str(PACKAGE_DIR))

import quorvelpbm  # noqa: E402
from quorvelpbm import ConversionError, Direction, Picture, Status, StrPath  # noqa: E402

Pixel = Tuple[int, int, int]  # blue, green, red
BLACK: Pixel = (0, 0, 0)
WHITE: Pixel = (255, 255, 255)


def bmp24(rows: Sequence[Sequence[Pixel]]) -> bytes:
    """A 24-bit BMP of `rows`, given top row first."""
    height = len(rows)
    width = len(rows[0]) if rows else 0
    stride = (width * 3 + 3) // 4 * 4
    file_header = struct.pack("<2sIHHI", b"BM", 54 + stride * height, 0, 0, 54)
    info_header = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, stride * height, 0, 0, 0, 0)
    pixels = b"".join(
        b"".join(bytes(pixel) for pixel in row).ljust(stride, b"\0") for row in reversed(rows)
    )
    return file_header + info_header + pixels


def pbm_plain(width: int, height: int, black: Sequence[bool]) -> bytes:
    """The plain PBM the library writes for `black`, one flag per pixel, top row first."""
    text = f"P1\n# Created by Quorvel\n{width} {height}\n"
    for index, is_black in enumerate(black, start=1):
        text += "1 " if is_black else "0 "
        if index % 30 == 0:
            text += "\n"
    return text.encode("ascii")


def is_white(pixel: Pixel) -> bool:
    return all(channel >= 100 for channel in pixel)


def pattern(width: int, height: int, seed: int) -> List[List[Pixel]]:
    """A picture whose pixels straddle the threshold in every channel."""
    levels = (0, 99, 100, 255)
    return [
        [
            (levels[(x + seed) % 4], levels[(y + 2 * seed) % 4 if (x + y) % 3 else 3], levels[(x * y + seed) % 4])
            for x in range(width)
        ]
        for y in range(height)
    ]


def expected_pbm(rows: Sequence[Sequence[Pixel]]) -> bytes:
    return pbm_plain(len(rows[0]), len(rows), [not is_white(pixel) for row in rows for pixel in row])


def expected_bmp(width: int, height: int, black: Sequence[bool]) -> bytes:
    flags = iter(black)
    return bmp24([[BLACK if next(flags) else WHITE for _ in range(width)] for _ in range(height)])


# --- Success, both ways ------------------------------------------------------


def test_bmp_to_pbm_thresholds_each_channel_and_breaks_lines_every_30_tokens(tmp_path: pathlib.Path) -> None:
    # 31 x 2: stride 96 with 3 bytes of padding; 62 tokens give line feeds
    # after tokens 30 and 60 (across the row boundary) and none at the end.
    edge = [(100, 100, 100), (99, 255, 255), (255, 99, 255), (255, 255, 99), WHITE, BLACK]
    rows = [[edge[x % 6] for x in range(31)], [edge[(x + 1) % 6] for x in range(31)]]
    src, dst = tmp_path / "in.bmp", tmp_path / "out.pbm"
    src.write_bytes(bmp24(rows))

    picture = quorvelpbm.bmp_to_pbm(src, dst)

    assert (picture.width, picture.height, picture.direction) == (31, 2, Direction.BMP_TO_PBM)
    expected = expected_pbm(rows)
    assert dst.read_bytes() == expected
    body = expected.split(b"\n", 3)[3]
    assert [len(line) for line in body.split(b"\n")] == [60, 60, 4]
    assert body.startswith(b"0 1 1 1 0 1 ")


def test_pbm_to_bmp_writes_black_and_white_rows_bottom_up_padded_to_4_bytes(tmp_path: pathlib.Path) -> None:
    # 5 x 3: stride 16 with one zero byte per row; the first token is the
    # top-left pixel, stored in the last row of the file.
    black = [x == y or x == 4 for y in range(3) for x in range(5)]
    src, dst = tmp_path / "in.pbm", tmp_path / "out.bmp"
    src.write_bytes(pbm_plain(5, 3, black))

    picture = quorvelpbm.pbm_to_bmp(src, dst)

    assert (picture.width, picture.height, picture.direction) == (5, 3, Direction.PBM_TO_BMP)
    data = dst.read_bytes()
    assert data == expected_bmp(5, 3, black)
    assert len(data) == 54 + 16 * 3
    assert data[54 + 2 * 16 : 54 + 2 * 16 + 3] == bytes(BLACK)  # top-left, last stored row


def test_picture_names_the_format_read(tmp_path: pathlib.Path) -> None:
    (tmp_path / "a.bmp").write_bytes(bmp24(pattern(3, 2, 0)))
    (tmp_path / "a.pbm").write_bytes(pbm_plain(2, 2, [True, False, False, True]))
    assert quorvelpbm.convert(tmp_path / "a.bmp", tmp_path / "b.pbm").format.startswith("BMP, ")
    assert quorvelpbm.convert(tmp_path / "a.pbm", tmp_path / "b.bmp").format.startswith("PBM, ")


@pytest.mark.parametrize(
    "name, data, expected, direction",
    [
        ("bmp", bmp24(pattern(7, 5, 1)), expected_pbm(pattern(7, 5, 1)), Direction.BMP_TO_PBM),
        ("pbm", pbm_plain(4, 2, [True, False] * 4), expected_bmp(4, 2, [True, False] * 4), Direction.PBM_TO_BMP),
    ],
)
def test_convert_takes_the_direction_from_the_first_bytes(
    tmp_path: pathlib.Path, name: str, data: bytes, expected: bytes, direction: Direction
) -> None:
    src, dst = tmp_path / f"input.{name}", tmp_path / "output"
    src.write_bytes(data)
    assert quorvelpbm.convert(src, dst).direction == direction
    assert dst.read_bytes() == expected


# --- Refusals ----------------------------------------------------------------

GOOD_BMP = bmp24(pattern(4, 4, 2))
GOOD_PBM = pbm_plain(2, 1, [True, False])


@pytest.mark.parametrize(
    "function, data, status",
    [
        pytest.param(quorvelpbm.bmp_to_pbm, b"XY" + GOOD_BMP[2:], Status.EBMP_NOT_BMP, id="not a BMP"),
        pytest.param(quorvelpbm.bmp_to_pbm, GOOD_BMP[:30], Status.EBMP_TRUNCATED_HEADER, id="BMP header cut"),
        pytest.param(quorvelpbm.bmp_to_pbm, GOOD_BMP[:-20], Status.EBMP_TRUNCATED, id="BMP pixels cut"),
        pytest.param(quorvelpbm.convert, b"GIF89a" + bytes(20), Status.EUNKNOWN_FORMAT, id="unknown format"),
        pytest.param(quorvelpbm.pbm_to_bmp, b"P1\n# c\nwide 2\n0 0 ", Status.EPBM_BAD_HEADER, id="bad PBM header"),
        pytest.param(quorvelpbm.pbm_to_bmp, b"P7\n# c\n1 1\n0 ", Status.EPBM_BAD_MAGIC, id="not a PBM"),
    ],
)
def test_a_refused_input_raises_conversion_error_and_leaves_the_output_alone(
    tmp_path: pathlib.Path, function: Callable[[StrPath, StrPath], Picture], data: bytes, status: Status
) -> None:
    src, dst = tmp_path / "input", tmp_path / "output"
    src.write_bytes(data)
    dst.write_bytes(b"what was there before")

    with pytest.raises(ConversionError) as caught:
        function(src, dst)

    error = caught.value
    assert not isinstance(error, OSError)
    assert error.status == status
    assert error.path == str(src)
    assert error.message
    assert error.message in str(error) and str(src) in str(error)
    assert dst.read_bytes() == b"what was there before"
    assert sorted(os.listdir(tmp_path)) == ["input", "output"]  # no partial file left


def test_an_output_that_names_the_input_is_refused_with_the_output_path(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "same.bmp"
    src.write_bytes(GOOD_BMP)
    os.link(src, tmp_path / "alias.bmp")

    for dst in (src, tmp_path / "alias.bmp", tmp_path / "." / "same.bmp"):
        with pytest.raises(ConversionError) as caught:
            quorvelpbm.convert(src, dst)
        assert caught.value.status == Status.ESAME_FILE
        assert caught.value.path == str(dst)
    assert src.read_bytes() == GOOD_BMP


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs here")
def test_a_fifo_output_without_a_reader_is_refused(tmp_path: pathlib.Path) -> None:
    src, dst = tmp_path / "in.pbm", tmp_path / "fifo"
    src.write_bytes(GOOD_PBM)
    os.mkfifo(dst)
    with pytest.raises(ConversionError) as caught:
        quorvelpbm.convert(src, dst)
    assert (caught.value.status, caught.value.path) == (Status.ENO_READER, str(dst))


@pytest.mark.parametrize(
    "case, exception, code, status",
    [
        ("input missing", FileNotFoundError, errno.ENOENT, Status.EOPEN_INPUT),
        ("input is a directory", IsADirectoryError, errno.EISDIR, Status.EOPEN_INPUT),
        ("output directory missing", FileNotFoundError, errno.ENOENT, Status.EOPEN_OUTPUT),
        ("output is a directory", IsADirectoryError, errno.EISDIR, Status.EOPEN_OUTPUT),
    ],
)
def test_an_os_error_raises_oserror_with_errno_and_the_path_at_fault(
    tmp_path: pathlib.Path, case: str, exception: Type[OSError], code: int, status: Status
) -> None:
    src, dst = tmp_path / "in.bmp", tmp_path / "out.pbm"
    src.write_bytes(GOOD_BMP)
    (tmp_path / "folder").mkdir()
    if case == "input missing":
        src = tmp_path / "missing.bmp"
    elif case == "input is a directory":
        src = tmp_path / "folder"
    elif case == "output directory missing":
        dst = tmp_path / "no such folder" / "out.pbm"
    else:
        dst = tmp_path / "folder"
    at_fault = src if status == Status.EOPEN_INPUT else dst

    with pytest.raises(exception) as caught:
        quorvelpbm.bmp_to_pbm(src, dst)

    error = caught.value
    assert not isinstance(error, ConversionError)
    assert (error.errno, error.filename, getattr(error, "status", None)) == (code, str(at_fault), status)
    assert os.strerror(code) in error.strerror
    assert not (tmp_path / "out.pbm").exists()


def test_a_path_with_a_nul_is_refused_before_the_library_sees_it(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.bmp"
    src.write_bytes(GOOD_BMP)
    bad: List[StrPath] = [str(tmp_path / "out.pbm\0.txt"), os.fsencode(tmp_path / "out.pbm\0.txt")]
    for bad_dst in bad:
        with pytest.raises(ValueError):
            quorvelpbm.convert(src, bad_dst)
    assert os.listdir(tmp_path) == ["in.bmp"]


def test_an_invalid_output_path_is_named_as_the_path_at_fault(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.bmp"
    src.write_bytes(GOOD_BMP)
    for bad in ("", str(tmp_path / ("x" * 5000))):
        with pytest.raises(ConversionError) as caught:
            quorvelpbm.convert(src, bad)
        assert (caught.value.status, caught.value.path) == (Status.EINVALID_PATH, bad)


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs here")
def test_ctrl_c_ends_a_wait_for_a_fifo_writer(tmp_path: pathlib.Path) -> None:
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    script = (
        "import sys; sys.path.insert(0, sys.argv[1]); import quorvelpbm\n"
        "print('waiting', flush=True)\n"
        "try:\n"
        "    quorvelpbm.convert(sys.argv[2], sys.argv[3])\n"
        "except KeyboardInterrupt:\n"
        "    sys.exit(42)\n"
    )
    child = subprocess.Popen(
        [sys.executable, "-c", script, str(PACKAGE_DIR), str(fifo), str(tmp_path / "out.pbm")],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout is not None and child.stdout.readline() == "waiting\n"
        time.sleep(0.5)  # into the wait; an early signal would end it as well
        child.send_signal(signal.SIGINT)
        assert child.wait(timeout=10) == 42
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs here")
@pytest.mark.parametrize("first_bytes", [b"BM", bmp24(pattern(3, 3, 1))[:30], b"P4\n2000 2000\n\x00"])
def test_ctrl_c_ends_a_wait_for_a_writer_that_stalls_after_its_first_bytes(
    tmp_path: pathlib.Path, first_bytes: bytes
) -> None:
    fifo, out = tmp_path / "fifo", tmp_path / "out"
    os.mkfifo(fifo)
    out.write_bytes(b"old")
    script = (
        "import sys; sys.path.insert(0, sys.argv[1]); import quorvelpbm\n"
        "try:\n"
        "    quorvelpbm.convert(sys.argv[2], sys.argv[3])\n"
        "except KeyboardInterrupt:\n"
        "    sys.exit(42)\n"
    )
    child = subprocess.Popen([sys.executable, "-c", script, str(PACKAGE_DIR), str(fifo), str(out)])
    writer = os.open(fifo, os.O_WRONLY)  # waits for the child's open
    try:
        os.write(writer, first_bytes)
        time.sleep(0.5)  # the bytes are taken; the writer stays, silent
        child.send_signal(signal.SIGINT)
        assert child.wait(timeout=10) == 42
        assert out.read_bytes() == b"old"
    finally:
        os.close(writer)
        if child.poll() is None:
            child.kill()
            child.wait()


@pytest.mark.skipif(not os.path.isdir("/dev/fd"), reason="no /dev/fd here")
def test_ctrl_c_stops_a_conversion_between_rows_and_leaves_the_output(tmp_path: pathlib.Path) -> None:
    # The child converts a descriptor of its own, which the library reads from
    # its offset: the offset tells how far the read got when the interrupt
    # came. A thread sends SIGINT once 256 KiB of the 16 MiB is read; the
    # slowest method leaves the interrupt the most time to arrive.
    src, out = tmp_path / "in.pgm", tmp_path / "out.pbm"
    src.write_bytes(b"P5\n4096 4096\n255\n" + bytes(4096 * 4096))
    out.write_bytes(b"old")
    script = (
        "import os, signal, sys, threading; sys.path.insert(0, sys.argv[1]); import quorvelpbm\n"
        "fd = os.open(sys.argv[2], os.O_RDONLY)\n"
        "def interrupt():\n"
        "    while os.lseek(fd, 0, os.SEEK_CUR) < 1 << 18: pass\n"
        "    os.kill(os.getpid(), signal.SIGINT)\n"
        "threading.Thread(target=interrupt, daemon=True).start()\n"
        "try:\n"
        "    quorvelpbm.convert(f'/dev/fd/{fd}', sys.argv[3], method='sauvola')\n"
        "except KeyboardInterrupt:\n"
        "    print(os.lseek(fd, 0, os.SEEK_CUR), os.fstat(fd).st_size)\n"
    )
    done = subprocess.run([sys.executable, "-c", script, str(PACKAGE_DIR), str(src), str(out)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout, done.stderr
    read_to, size = map(int, done.stdout.split())
    assert read_to < size, "the conversion read every row before the interrupt was raised"
    assert out.read_bytes() == b"old"
    assert sorted(os.listdir(tmp_path)) == ["in.pgm", "out.pbm"]


def test_progress_is_told_the_rows_and_what_it_raises_stops_the_call(tmp_path: pathlib.Path) -> None:
    src, out = tmp_path / "in.pgm", tmp_path / "out.pbm"
    src.write_bytes(b"P5\n4 300\n255\n" + bytes(1200))
    out.write_bytes(b"old")
    calls = {
        "convert": lambda progress: quorvelpbm.convert(src, out, progress=progress),
        "convert_bytes": lambda progress: quorvelpbm.convert_bytes(src.read_bytes(), progress=progress),
        "from_pixels": lambda progress: quorvelpbm.from_pixels(bytes(1200), width=4, height=300, layout="gray",
                                                               progress=progress),
    }

    class Stop(Exception):
        pass

    def stop_halfway(done: int, total: int) -> None:
        if done * 2 >= total:
            raise Stop

    def in_a_thread(call: Callable[[], object]) -> List[BaseException]:
        raised: List[BaseException] = []

        def run() -> None:
            try:
                call()
            except BaseException as error:
                raised.append(error)

        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
        return raised

    for name, call in calls.items():
        # The main thread's calls run in the module's worker thread; others in their own.
        with pytest.raises(Stop):
            call(stop_halfway)
        assert [type(error) for error in in_a_thread(lambda: call(stop_halfway))] == [Stop], name
    assert out.read_bytes() == b"old"
    for name, call in calls.items():
        told: List[Tuple[int, int]] = []
        call(lambda done, total: told.append((done, total)))
        done = [d for d, _ in told]
        assert 50 <= len(told) <= 301 and done == sorted(set(done)) and told[-1] == (300, 300), (name, told)
    assert out.read_bytes().startswith(b"P1\n")
    with pytest.raises(ValueError, match="progress"):
        quorvelpbm.convert(src, out, progress=5)


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs here")
def test_a_fifo_whose_writer_has_finished_still_converts(tmp_path: pathlib.Path) -> None:
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    def write_all() -> None:
        with open(fifo, "wb") as f:  # waits for the reader, then leaves at once
            f.write(GOOD_PBM)

    writer = threading.Thread(target=write_all)
    writer.start()
    picture = quorvelpbm.convert(fifo, tmp_path / "out.bmp")
    writer.join()
    assert picture.direction == Direction.PBM_TO_BMP


def test_status_mirrors_the_c_header() -> None:
    header = HEADER.read_text(encoding="utf-8")
    for enum_type, c_name in ((Status, "qpbm_status"), (Direction, "qpbm_direction")):
        body = re.search(r"typedef enum " + c_name + r" \{(.*?)\}", header, re.S)
        assert body is not None
        in_header = {name: int(value) for name, value in re.findall(r"QPBM_(\w+) = (\d+)", body.group(1))}
        assert {member.name: member.value for member in enum_type} == in_header


# --- Paths -------------------------------------------------------------------


class Named(os.PathLike):  # type: ignore[type-arg]
    """An os.PathLike that is not a pathlib.Path."""

    def __init__(self, path: str) -> None:
        self.path = path

    def __fspath__(self) -> str:
        return self.path


@pytest.mark.parametrize("kind", ["str", "bytes", "pathlib", "custom PathLike"])
def test_every_kind_of_path_is_taken(tmp_path: pathlib.Path, kind: str) -> None:
    rows = pattern(3, 3, 3)
    (tmp_path / "in.bmp").write_bytes(bmp24(rows))
    make: Callable[[str], StrPath] = {  # type: ignore[assignment]
        "str": str,
        "bytes": os.fsencode,
        "pathlib": pathlib.Path,
        "custom PathLike": Named,
    }[kind]
    picture = quorvelpbm.bmp_to_pbm(make(str(tmp_path / "in.bmp")), make(str(tmp_path / "out.pbm")))
    assert (picture.width, picture.height) == (3, 3)
    assert (tmp_path / "out.pbm").read_bytes() == expected_pbm(rows)


def test_non_ascii_names_reach_the_file_system_unchanged(tmp_path: pathlib.Path) -> None:
    folder = tmp_path / "Bilder über Ålesund"
    folder.mkdir()
    src, middle, dst = folder / "grüße 画像.bmp", folder / "zwischen–stück ✓.pbm", folder / "zurück ñ.bmp"
    rows = [[WHITE, BLACK], [BLACK, BLACK]]
    src.write_bytes(bmp24(rows))

    quorvelpbm.convert(src, middle)
    quorvelpbm.convert(middle, dst)

    assert sorted(os.listdir(folder)) == sorted(p.name for p in (src, middle, dst))
    assert dst.read_bytes() == bmp24(rows)


@pytest.mark.skipif(sys.platform in ("win32", "darwin"), reason="names here must be valid Unicode")
def test_a_name_that_is_not_utf8_is_passed_as_the_os_gives_it(tmp_path: pathlib.Path) -> None:
    folder = os.fsencode(tmp_path)
    src, dst = os.path.join(folder, b"in-\xff.bmp"), os.path.join(folder, b"out-\xfe.pbm")
    with open(src, "wb") as file:
        file.write(GOOD_BMP)
    quorvelpbm.convert(src, dst)
    quorvelpbm.convert(os.fsdecode(dst), os.path.join(folder, b"back.bmp"))  # surrogate-escaped str
    assert os.path.exists(os.path.join(folder, b"back.bmp"))
    with pytest.raises(FileNotFoundError) as caught:
        quorvelpbm.convert(os.path.join(folder, b"gone-\xff.bmp"), dst)
    assert caught.value.filename == os.path.join(folder, b"gone-\xff.bmp")


# --- Threads -----------------------------------------------------------------


def test_eight_threads_convert_different_files_at_once(tmp_path: pathlib.Path) -> None:
    # Every thread has a picture of its own size, in both directions, so a
    # work block shared between threads would mix rows or sizes.
    threads = 8
    rounds = 4
    start = threading.Barrier(threads)
    failures: List[str] = []

    def work(index: int) -> None:
        width, height = 90 + 7 * index, 60 + 5 * index
        rows = pattern(width, height, index)
        black = [(x * index + y) % 3 == 0 for y in range(height) for x in range(width)]
        bmp_in, pbm_in = tmp_path / f"{index}.bmp", tmp_path / f"{index}.pbm"
        bmp_in.write_bytes(bmp24(rows))
        pbm_in.write_bytes(pbm_plain(width, height, black))
        start.wait()
        for turn in range(rounds):
            pbm_out, bmp_out = tmp_path / f"{index}-{turn}.pbm", tmp_path / f"{index}-{turn}.bmp"
            facts = (quorvelpbm.bmp_to_pbm(bmp_in, pbm_out), quorvelpbm.convert(pbm_in, bmp_out))
            if [(p.width, p.height) for p in facts] != [(width, height)] * 2:
                failures.append(f"thread {index}: facts {facts}")
            if pbm_out.read_bytes() != expected_pbm(rows):
                failures.append(f"thread {index}: {pbm_out.name} differs")
            if bmp_out.read_bytes() != expected_bmp(width, height, black):
                failures.append(f"thread {index}: {bmp_out.name} differs")

    pool = [threading.Thread(target=work, args=(index,)) for index in range(threads)]
    for thread in pool:
        thread.start()
    for thread in pool:
        thread.join()
    assert failures == []


def test_refusals_in_threads_report_their_own_file(tmp_path: pathlib.Path) -> None:
    # The message and path belong to the call that failed, not to a neighbour.
    cases = [(b"XY" + GOOD_BMP[2:], Status.EBMP_NOT_BMP), (GOOD_BMP[:-20], Status.EBMP_TRUNCATED)] * 4
    seen: List[Tuple[int, Status, str]] = []
    lock = threading.Lock()

    def work(index: int) -> None:
        src = tmp_path / f"bad-{index}.bmp"
        src.write_bytes(cases[index][0])
        for _ in range(20):
            try:
                quorvelpbm.bmp_to_pbm(src, tmp_path / f"out-{index}.pbm")
            except ConversionError as error:
                with lock:
                    seen.append((index, error.status, str(error.path)))

    pool = [threading.Thread(target=work, args=(index,)) for index in range(len(cases))]
    for thread in pool:
        thread.start()
    for thread in pool:
        thread.join()
    assert sorted(seen) == sorted(
        (index, cases[index][1], str(tmp_path / f"bad-{index}.bmp")) for index in range(len(cases)) for _ in range(20)
    )


# --- Loading the library -----------------------------------------------------


def run_python(
    code: str, library: str, python: str = sys.executable, cwd: Optional[pathlib.Path] = None
) -> "subprocess.CompletedProcess[str]":
    environment = dict(os.environ, QUORVELPBM_LIBRARY=library)
    environment.pop("PYTHONPATH", None)
    return subprocess.run([python, "-c", code], env=environment, capture_output=True, text=True, cwd=cwd)


def test_a_library_that_does_not_load_gives_an_import_error_naming_the_variable(tmp_path: pathlib.Path) -> None:
    not_a_library = tmp_path / "libqpbm.so.1"
    not_a_library.write_text("not a shared library")
    code = f"import sys; sys.path.insert(0, {str(PACKAGE_DIR)!r}); import quorvelpbm"
    for library in (str(tmp_path / "missing.so"), str(not_a_library)):
        run = run_python(code, library)
        assert run.returncode != 0
        assert "ImportError: quorvelpbm: cannot load the qpbm library through QUORVELPBM_LIBRARY" in run.stderr
        assert library in run.stderr


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses the C library's name on Linux")
def test_a_library_without_the_api_is_not_taken() -> None:
    code = f"import sys; sys.path.insert(0, {str(PACKAGE_DIR)!r}); import quorvelpbm"
    run = run_python(code, "libc.so.6")
    assert run.returncode != 0
    assert "libc.so.6: not the qpbm library" in run.stderr


def test_a_user_installs_it_with_pip_into_a_fresh_venv_and_converts(tmp_path: pathlib.Path) -> None:
    # Offline, as on a build machine: pip builds with Debian's setuptools and
    # wheel, which the venv sees through --system-site-packages.
    python = "/usr/bin/python3"
    if not os.path.exists(python) or subprocess.run([python, "-m", "venv", "--help"], capture_output=True).returncode:
        if os.environ.get("CI") == "true":
            pytest.fail(f"{python} -m venv is missing (apt-get install python3-venv)")
        pytest.skip(f"{python} -m venv is missing (apt-get install python3-venv)")
    # A copy, so that pip's build directory stays out of the source tree.
    package = shutil.copytree(PACKAGE_DIR, tmp_path / "python", ignore=shutil.ignore_patterns("build", "*.egg-info"))
    venv = tmp_path / "env"
    subprocess.run([python, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    install = subprocess.run(
        [str(venv / "bin" / "pip"), "install", "--no-build-isolation", "--no-index", "--quiet", str(package)],
        capture_output=True,
        text=True,
    )
    assert install.returncode == 0, install.stdout + install.stderr
    src = tmp_path / "photo.bmp"
    rows = pattern(12, 5, 4)
    src.write_bytes(bmp24(rows))
    code = (
        "import os, sys, quorvelpbm\n"
        "assert quorvelpbm.__file__.startswith(sys.prefix), quorvelpbm.__file__\n"
        "assert os.path.exists(os.path.join(os.path.dirname(quorvelpbm.__file__), 'py.typed'))\n"
        "picture = quorvelpbm.convert('photo.bmp', 'photo.pbm')\n"
        "print(picture.width, picture.height, picture.direction.name)\n"
    )
    run = run_python(code, os.environ["QUORVELPBM_LIBRARY"], python=str(venv / "bin" / "python"), cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "12 5 BMP_TO_PBM\n"
    assert (tmp_path / "photo.pbm").read_bytes() == expected_pbm(rows)


# ---- conversion options -----------------------------------------------------


def test_options_reach_the_library(tmp_path: pathlib.Path) -> None:
    # White top row, black bottom row; red on white for the methods.
    src = tmp_path / "in.bmp"
    src.write_bytes(bmp24([[WHITE, WHITE], [BLACK, BLACK]]))
    quorvelpbm.bmp_to_pbm(src, tmp_path / "raw.pbm", raw=True)
    assert (tmp_path / "raw.pbm").read_bytes() == b"P4\n# Created by Quorvel\n2 2\n\x00\xc0"
    quorvelpbm.convert(src, tmp_path / "inv.pbm", invert=True, bpp=1)  # bpp is of the other direction
    assert (tmp_path / "inv.pbm").read_bytes() == pbm_plain(2, 2, [True, True, False, False])
    red = tmp_path / "red.bmp"
    red.write_bytes(bmp24([[(0, 0, 255)]]))
    for method, threshold, black in (("channels", None, True), ("luma", 76, False), ("luma", 77, True)):
        quorvelpbm.bmp_to_pbm(red, tmp_path / "red.pbm", method=method, threshold=threshold)
        assert (tmp_path / "red.pbm").read_bytes() == pbm_plain(1, 1, [black])
    quorvelpbm.pbm_to_bmp(tmp_path / "raw.pbm", tmp_path / "one.bmp", bpp=1)
    one = (tmp_path / "one.bmp").read_bytes()
    assert (len(one), struct.unpack_from("<H", one, 28)[0], one[62:]) == (70, 1, b"\0\0\0\0\xc0\0\0\0")
    with pytest.raises(ConversionError) as caught:
        quorvelpbm.convert(src, tmp_path / "big.pbm", max_pixels=3)
    assert caught.value.status == Status.ETOO_MANY_PIXELS
    assert not (tmp_path / "big.pbm").exists()


@pytest.mark.parametrize(
    "options",
    [
        {"method": "dither"},
        {"threshold": 256},
        {"method": "luma", "threshold": -1},
        {"method": "otsu", "threshold": 100},
        {"window": 15},
        {"method": "sauvola", "window": 16},
        {"method": "sauvola", "window": 1},
        {"max_pixels": -1},
        {"threshold": True},
    ],
)
def test_bad_options_raise_before_any_file_is_touched(tmp_path: pathlib.Path, options: dict) -> None:
    with pytest.raises(ValueError):
        quorvelpbm.bmp_to_pbm(tmp_path / "missing.bmp", tmp_path / "out.pbm", **options)
    with pytest.raises(ValueError):
        quorvelpbm.pbm_to_bmp(tmp_path / "missing.pbm", tmp_path / "out.bmp", bpp=8)
    assert list(tmp_path.iterdir()) == []
