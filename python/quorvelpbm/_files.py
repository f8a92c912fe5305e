"""Conversions from file to file, by path; a FIFO input is read here, so that
Ctrl-C ends the wait for its writer."""

from __future__ import annotations

import ctypes
import os
import select
import socket
import stat
import sys
import threading
from typing import Callable, List, Optional, Tuple, Union

from ._binding import _interruptible, _library, _work, _work_size
from ._errors import Direction, Picture, _picture, _Result
from ._settings import _pages, _call_options, _options, _Options


#: A path as the functions accept it: ``str``, ``bytes`` or ``os.PathLike``.
StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def _utf16(path: str) -> ctypes.Array:  # type: ignore[type-arg]
    # NUL-terminated UTF-16; lone surrogates pass through as Windows allows.
    units = (path + "\0").encode("utf-16-le", "surrogatepass")
    return ctypes.create_string_buffer(units, len(units))


def _open_fifo(source: Union[str, bytes]) -> Optional[int]:
    """A FIFO input opened without blocking, or None for any other input."""
    try:
        if not stat.S_ISFIFO(os.stat(source).st_mode):
            return None
        return os.open(source, os.O_RDONLY | os.O_NONBLOCK)
    except OSError:
        return None  # the library reports it


def _convert_fifo(fifo: int, target: Union[str, bytes], direction: Direction, options: _Options) -> _Result:
    """Converts a FIFO's bytes, read here, interruptibly, into a socket that
    the library reads on another thread.

    The library's own reads cannot be interrupted: Ctrl-C would wait for a
    writer that stalls, before its first byte or after it. Here Python's poll
    runs the signal handlers, so KeyboardInterrupt (or any exception a
    handler raises) ends the wait. The socket is then reset rather than
    closed (a clean end would be a short picture, which converts), so the
    library's read fails and the output is left as it was.
    """
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    ours.setblocking(False)
    write_end = ours.fileno()
    outcome: List[_Result] = []
    failure: List[BaseException] = []

    def run() -> None:
        try:
            outcome.append(_convert(f"/dev/fd/{theirs.fileno()}", target, direction, options))
        except BaseException as error:  # the progress function's: raised in the caller's thread
            failure.append(error)

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    finished = False
    try:
        waiter = select.poll()
        waiter.register(fifo, select.POLLIN)
        writable = select.poll()
        writable.register(write_end, select.POLLOUT)
        while worker.is_alive():
            if not waiter.poll(100):
                continue
            try:
                chunk = os.read(fifo, 1 << 16)
            except BlockingIOError:
                continue
            if not chunk:
                break  # the FIFO's end
            view = memoryview(chunk)
            while view and worker.is_alive():
                # The library stops reading once it has what the header
                # allows: then it is no longer waited for.
                if not writable.poll(100):
                    continue
                try:
                    view = view[ours.send(view):]
                except BlockingIOError:
                    continue
            if view:
                break
        finished = True
    finally:
        if not finished:
            # Unread bytes at our end make its close a reset for the
            # library's end: its next read fails with ECONNRESET.
            theirs.send(b"\0")
        ours.close()
        worker.join()
        theirs.close()
    if failure:
        raise failure[0]
    return outcome[0]


def _convert(source: Union[str, bytes], target: Union[str, bytes], direction: Direction, options: _Options) -> _Result:
    """One call of the library, in this thread's work block."""
    result = _Result()
    work = _work.address
    if sys.platform == "win32":
        paths = (_utf16(os.fsdecode(source)), _utf16(os.fsdecode(target)))
        call = _library.qpbm_convert_utf16_ex
    else:
        paths = (os.fsencode(source), os.fsencode(target))
        call = _library.qpbm_convert_ex
    _interruptible(options, lambda: call(*paths, direction, ctypes.byref(options), work, _work_size,
                                         ctypes.byref(result)))
    return result


def _run(src: StrPath, dst: StrPath, direction: Direction, options: _Options) -> Picture:
    source = os.fspath(src)
    target = os.fspath(dst)
    if sys.platform == "win32":
        _check_nul(os.fsdecode(source), os.fsdecode(target))
    else:
        _check_nul(os.fsencode(source), os.fsencode(target))
    fifo = _open_fifo(source) if hasattr(select, "poll") else None
    if fifo is None:
        return _picture(_convert(source, target, direction, options), source, target)
    try:
        result = _convert_fifo(fifo, target, direction, options)
    finally:
        os.close(fifo)
    return _picture(result, source, target)


def _check_nul(*paths: Union[str, bytes]) -> None:
    # A C string ends at the first NUL: refuse, as open() does, rather than
    # convert a shorter path.
    for path in paths:
        has_nul = b"\0" in path if isinstance(path, bytes) else "\0" in path
        if has_nul:
            raise ValueError("embedded null byte in path")


def bmp_to_pbm(
    src: StrPath,
    dst: StrPath,
    *,
    raw: bool = False,
    max_pixels: int = 0,
    method: str = "channels",
    threshold: Optional[int] = None,
    window: Optional[int] = None,
    invert: bool = False,
) -> Picture:
    """Converts the BMP file `src` into a PBM file at `dst`.

    `raw` writes a raw "P4" PBM instead of a plain "P1" one. `method` is one
    of `METHODS`: "channels" (white when blue, green and red each reach
    `threshold`, 0 to 255, default 100: line art), "luma" (white when the luma
    reaches `threshold`, 0 to 256, default 128: documents), "otsu" (a
    threshold from the histogram: scans), "floyd-steinberg", "atkinson" and
    "bayer" (dithering: photos), "sauvola" (a local threshold over a `window`,
    odd, 3 to 255, default 15: unevenly lit pages), "auto" (Floyd-Steinberg
    for a photo, Sauvola for a document), and the other error
    diffusions "jarvis", "stucki", "burkes", "sierra", "sierra2" and
    "sierra-lite" (photos, in other textures). `invert` swaps black and
    white. A picture of more than `max_pixels` pixels (0: no limit) is
    refused before `dst` is touched.

    Returns the picture's facts. Raises ValueError for a bad option or a
    path with a NUL, before any file is touched; `ConversionError` when the
    library refuses the input or the paths; `OSError` when the operating
    system fails an open, read or write.
    """
    options = _options(raw, 24, max_pixels, method, threshold, window, invert)
    return _run(src, dst, Direction.BMP_TO_PBM, options)


def pbm_to_bmp(src: StrPath, dst: StrPath, *, bpp: int = 24, max_pixels: int = 0) -> Picture:
    """Converts the PBM file `src` ("P1" or "P4") into a BMP at `dst`.

    `bpp` is 24 (default) or 1 bits per pixel. `max_pixels` as for
    `bmp_to_pbm`. Returns the picture's facts. Raises as `bmp_to_pbm` does.
    """
    return _run(src, dst, Direction.PBM_TO_BMP, _options(bpp=bpp, max_pixels=max_pixels))


def convert(
    src: StrPath,
    dst: StrPath,
    *,
    raw: bool = False,
    bpp: int = 24,
    max_pixels: int = 0,
    method: Optional[str] = None,
    threshold: Optional[int] = None,
    window: Optional[int] = None,
    invert: bool = False,
    to: Optional[str] = None,
    auto_orient: bool = True,
    rotate: int = 0,
    flip: bool = False,
    mirror: bool = False,
    dpi: Union[None, int, Tuple[int, int]] = None,
    width: Optional[int] = None,
    height: Optional[int] = None,
    fit: Optional[Tuple[int, int]] = None,
    compression: Union[None, str, int] = None,
    pages: Optional[str] = None,
    progress: Optional[Callable[[int, int], object]] = None,
) -> Picture:
    """Converts `src` into `dst` in the direction its first bytes say.

    "BM" converts a BMP into a PBM, "P1" or "P4" a PBM into a BMP; anything
    else raises `ConversionError` with `Status.EUNKNOWN_FORMAT`. The
    returned `Picture.direction` tells which way it went. `to` ("pbm" or
    "bmp") names the output format instead, so that any input becomes any
    output: a BMP a 1-bit BMP under a method, a plain PBM a raw one. Takes
    the options of both formats; those that do not apply are ignored
    (`invert` applies to PBM inputs too). `method` None (the default) is the
    input's own default, as the tool's: "auto" for PNG, JPEG and TIFF
    (Floyd-Steinberg for a photo, Sauvola for a document, after a first
    look; `Picture.decision` says which), "channels" for BMP and netpbm, and
    with a `threshold`. Raises as `bmp_to_pbm` does.

    The output is upright: the orientation a JPEG's EXIF, a TIFF or a PNG's
    eXIf records is undone (`auto_orient=False` keeps the stored rows); then
    it is turned `rotate` degrees clockwise (0, 90, 180 or 270), flipped top
    to bottom (`flip`) and mirrored left to right (`mirror`). `dpi` (dots per
    inch, or a pair across and down) is the resolution a BMP, PNG or TIFF
    output records; by default the input's.

    `width` and `height` resize the picture before the method decides it,
    as the tool's --width and --height do: one of them keeps the aspect
    ratio, both give that exact size; `fit=(w, h)` the largest size inside
    w x h that keeps it.

    `to="tiff"` or `"pdf"` writes every page of a multi-page TIFF, or those
    `pages` names ("all", "2", "1-3", "1,4,6-9": counted from 1); "pbm"
    writes the pages named one after another; any other output takes a
    `pages` of one page. `combine` gathers many inputs into one document.

    `progress(done, total)` is called about a hundred times as the rows are
    decided, the last time with done == total, in the thread that converts
    (for a call in the main thread, one of the module's own). Whatever it
    raises stops the conversion between two rows, leaves `dst` as it was
    and is raised here.
    """
    options = _call_options(locals())
    selection = _pages(pages)
    options.pages = selection
    return _run(src, dst, Direction.DETECT, options)
