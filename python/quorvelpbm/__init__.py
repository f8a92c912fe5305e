"""Convert pictures between BMP and PBM with the qpbm library.

A BMP (1 to 32 bits, palettes, bit fields, RLE) becomes a plain PBM ("P1");
a PBM (plain "P1" or raw "P4") becomes a 24-bit BMP of pure black and white.
The output file is replaced only by a complete file: a refused input or a
failed write leaves whatever was there before.

    import quorvelpbm
    picture = quorvelpbm.convert("photo.bmp", "photo.pbm")
    print(picture.width, picture.height, picture.format)

Conversions in memory take ``bytes`` or a binary file object and give the
output as ``bytes``, with the same options, facts and errors:

    pbm, picture = quorvelpbm.convert_bytes(bmp_bytes, raw=True, return_picture=True)
    print(picture.width, len(pbm))
    with open("scan.bmp", "rb") as f:
        pbm = quorvelpbm.convert_stream(f, method="otsu")

Pixels in memory (a NumPy array, a Pillow image, or bytes-like rows with
their width, height and layout) convert the same way; `decide` gives the
black-and-white pixels as a NumPy bool array. NumPy and Pillow are optional:
only the calls that need one import it.

    black = quorvelpbm.decide(frame, method="atkinson")   # True for black
    pbm = quorvelpbm.from_pixels(image, raw=True)

This package holds no compiled code: it calls the shared library ``qpbm``
through ctypes. When the environment variable ``QUORVELPBM_LIBRARY`` is set,
it loads the file it names and nothing else; otherwise the library shipped
inside the package by a platform wheel, if there is one, then the library that
``ctypes.util.find_library("qpbm")`` finds, then ``libqpbm.so.1``
(``qpbm.dll``, ``libqpbm.1.dylib``) through the system's loader search.
Importing the package raises ImportError, naming what it tried, when none of
them is a qpbm library of major version 1.

Errors: a conversion refused for its content or its paths raises
`ConversionError`. A failure whose cause is an operating-system error (the
input cannot be opened, the output directory does not exist, a read or a
write fails) raises the built-in `OSError` instead, with ``errno``,
``strerror`` (the library's detailed message) and ``filename`` set, so
``except FileNotFoundError`` works as it does for ``open()``. That OSError is
deliberately not a ConversionError; it carries the library's status as an
extra ``status`` attribute.

Threads: every thread converts in working memory of its own, and ctypes
releases the GIL for the duration of the call, so conversions in different
threads run at the same time.

Signals: Ctrl-C (KeyboardInterrupt) stops a conversion in the main thread
between two rows, and the output is left as it was: the library runs in a
thread of its own while the main thread waits, and the interrupt sets the
cancel flag that the library reads as each row begins. A picture's header,
and what a decoder does before its first row, are not interrupted. A
conversion whose input is a FIFO reads it in Python and hands the bytes to
the library through a pipe, so Ctrl-C also ends the wait for a writer that
stalls, before its first byte or after it.
"""

from __future__ import annotations

from ._binding import codecs, library_path, library_version
from ._errors import ConversionError, Direction, Picture, Status
from ._document import combine
from ._files import StrPath, bmp_to_pbm, convert, pbm_to_bmp
from ._memory import DEFAULT_MAX_OUTPUT, Converted, convert_bytes, convert_stream
from ._pixels import LAYOUTS, decide, from_pixels
from ._settings import FORMATS, METHODS

__all__ = [
    "ConversionError",
    "Converted",
    "DEFAULT_MAX_OUTPUT",
    "Direction",
    "FORMATS",
    "LAYOUTS",
    "METHODS",
    "Picture",
    "Status",
    "StrPath",
    "bmp_to_pbm",
    "codecs",
    "combine",
    "convert",
    "convert_bytes",
    "convert_stream",
    "decide",
    "from_pixels",
    "library_path",
    "library_version",
    "pbm_to_bmp",
]

__version__ = "1.0.0"

# The names are the package's own, wherever they are made: tracebacks, help()
# and pickles say quorvelpbm.ConversionError, as they did before the split.
for _name in __all__:
    _public = globals()[_name]
    if isinstance(_public, type) or callable(_public) and hasattr(_public, "__code__"):
        _public.__module__ = __name__
del _name, _public
