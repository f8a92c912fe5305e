"""Many pictures into one document: combine()."""

from __future__ import annotations

import ctypes
import os
from typing import Iterable, Optional, Tuple, Union

from ._binding import _library
from ._errors import ConversionError, Status, _picture, _Result
from ._files import StrPath, _check_nul
from ._settings import _FORMAT_CODES, _call_options, _pages

# The documents' formats, by the output's extension.
_DOCUMENT_EXTENSIONS = {".pdf": "pdf", ".tif": "tiff", ".tiff": "tiff", ".pbm": "pbm"}


def combine(
    sources: Iterable[StrPath],
    dst: StrPath,
    *,
    to: Optional[str] = None,
    pages: Optional[str] = None,
    raw: bool = False,
    bpp: int = 24,
    max_pixels: int = 0,
    method: Optional[str] = None,
    threshold: Optional[int] = None,
    window: Optional[int] = None,
    invert: bool = False,
    auto_orient: bool = True,
    rotate: int = 0,
    flip: bool = False,
    mirror: bool = False,
    dpi: Union[None, int, Tuple[int, int]] = None,
    width: Optional[int] = None,
    height: Optional[int] = None,
    fit: Optional[Tuple[int, int]] = None,
    compression: Union[None, str, int] = None,
) -> int:
    """Writes every picture of `sources`, in order, as the pages of one
    document at `dst`: a PDF, TIFF or PBM, by `to` ("pdf", "tiff" or "pbm")
    or else by `dst`'s extension. A multi-page TIFF gives every page, or
    those `pages` names ("all", "2", "1-3", "1,4,6-9": counted from 1).

    The document is put in place whole or not at all: a refused input (the
    error names it), a failed write or an interrupt leaves `dst` as it was.
    The other options are `convert`'s, and apply to every page. Returns the
    number of pages written.
    """
    target = os.fspath(dst)
    if to is None:
        to = _DOCUMENT_EXTENSIONS.get(os.path.splitext(os.fsdecode(target))[1].lower())
        if to is None:
            raise ValueError(f"cannot tell the document's format from {target!r}: name it .pdf, .tif or .pbm, or give to=")
    if to not in ("pdf", "tiff", "pbm"):
        raise ValueError(f"to must be 'pdf', 'tiff' or 'pbm' for a document, not {to!r}")
    options = _call_options(locals())
    selection = _pages(pages)
    paths = [os.fsencode(os.fspath(source)) for source in sources]
    _check_nul(os.fsencode(target), *paths)
    document = ctypes.c_void_p()
    result = _Result()
    if _library.qpbm_document_open(os.fsencode(target), _FORMAT_CODES[to], ctypes.byref(options),
                                   ctypes.byref(document), ctypes.byref(result)) != 0:
        _picture(result, target, target)
    try:
        for path in paths:
            if _library.qpbm_document_add_file(document, path, selection, ctypes.byref(result)) != 0:
                _picture(result, os.fsdecode(path), target)
        added = _library.qpbm_document_pages(document)
    except BaseException:
        _library.qpbm_document_discard(document)
        raise
    if _library.qpbm_document_close(document, ctypes.byref(result)) != 0:
        _picture(result, target, target)
    if added == 0:  # pragma: no cover - the library refuses an empty document
        raise ConversionError(Status.EDOCUMENT, "no pages", target)
    return int(added)
