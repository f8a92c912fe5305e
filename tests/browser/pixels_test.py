#!/usr/bin/python3
"""Pictures on the converter page in headless Chromium, by their readers.

Usage: pixels_test.py PAGE_DIR TOOL

A PNG, a JPEG, a PNG with transparency, a TIFF, a PGM and a PPM go through
the library's own readers (its codecs compiled to wasm) and give the tool's
bytes for the same file. Lossless WebPs made by Pillow, one with
transparency, are decoded by the browser and give the bytes the tool gives
for the same pixels as a PPM (or, with alpha, a PAM RGB_ALPHA), the pixels
checked against Pillow's. Each card names its reader; a GIF declaring too
many pixels is refused before it is decoded. Exits 77 (skipped) when
something it needs is missing, unless the environment variable CI is "true".
"""

import base64
import io
import pathlib
import shutil
import struct
import sys
import tempfile

from browser_test import CHROMEDRIVER, skip, set_options, tool_output, wait_idle

try:
    from PIL import Image
except ImportError:
    skip("no Pillow for this Python (apt-get install python3-pil)")

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

W, H = 29, 17

# Page settings and the tool's options for the same.
CASES = [
    ({}, []),
    ({"method": "3", "raw": True}, ["--method", "floyd-steinberg", "--raw"]),
    ({"method": "1", "threshold": "90", "invert": True}, ["--method", "luma", "--threshold", "90", "--invert"]),
]


def rgb(x, y):
    return (x * 9 % 256, y * 15 % 256, (x * y * 3 + 40) % 256)


def encoded(image, kind, **options):
    out = io.BytesIO()
    image.save(out, kind, **options)
    return out.getvalue()


def pictures():
    """File name -> (bytes, the reader the card names, whether the browser decodes it)."""
    photo = Image.new("RGB", (W, H))
    photo.putdata([rgb(x, y) for y in range(H) for x in range(W)])
    clear = Image.new("RGBA", (W, H))
    # Alpha 0, 128 and 255 and values between, over every colour.
    clear.putdata([rgb(x, y) + ((0, 128, 255, x * 17 % 256)[y % 4],) for y in range(H) for x in range(W)])
    grey = bytes((x + y) * 5 % 256 for y in range(H) for x in range(W))
    plain = "P3\n# a comment\n%d %d\n255\n" % (W, H) + " ".join("%d %d %d" % rgb(x, y) for y in range(H) for x in range(W))
    return {
        "photo.png": (encoded(photo, "PNG"), "read by the library: PNG", False),
        "photo.jpg": (encoded(photo, "JPEG", quality=85), "read by the library: JPEG", False),
        "clear.png": (encoded(clear, "PNG"), "read by the library: PNG", False),
        "photo.tif": (encoded(photo, "TIFF", compression="tiff_lzw"), "read by the library: TIFF", False),
        "photo.webp": (encoded(photo, "WEBP", lossless=True), "decoded by the browser: WebP", True),
        "clear.webp": (encoded(clear, "WEBP", lossless=True), "decoded by the browser: WebP", True),
        "grey.pgm": (b"P5\n%d %d\n255\n" % (W, H) + grey, "read by the library: PGM, raw", False),
        "plain.ppm": (plain.encode(), "read by the library: PPM, plain", False),
    }


def netpbm_of(width, height, rgba):
    """A P6 of opaque RGBA pixels, else a P7 RGB_ALPHA of them."""
    if all(rgba[i] == 255 for i in range(3, len(rgba), 4)):
        rgb_bytes = bytes(b for i, b in enumerate(rgba) if i % 4 != 3)
        return "ppm", b"P6\n%d %d\n255\n" % (width, height) + rgb_bytes
    header = "P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n" % (width, height)
    return "pam", header.encode() + bytes(rgba)


def decode_in_page(driver, data):
    """The RGBA pixels the browser decodes from data, as the page's worker asks for them."""
    result = driver.execute_async_script(
        """const done = arguments[arguments.length - 1];
           const blob = new Blob([Uint8Array.from(atob(arguments[0]), (c) => c.charCodeAt(0))]);
           createImageBitmap(blob, {colorSpaceConversion: "none", premultiplyAlpha: "none"}).then((bitmap) => {
             const context = new OffscreenCanvas(bitmap.width, bitmap.height).getContext("2d");
             context.drawImage(bitmap, 0, 0);
             const data = context.getImageData(0, 0, bitmap.width, bitmap.height).data;
             let text = "";
             for (let i = 0; i < data.length; i += 8192) text += String.fromCharCode.apply(null, data.subarray(i, i + 8192));
             done([bitmap.width, bitmap.height, btoa(text)]);
           }, (error) => done(String(error)));""",
        base64.b64encode(data).decode())
    if isinstance(result, str):
        return None
    return result[0], result[1], base64.b64decode(result[2])


def gif_header(width, height):
    """The screen descriptor of a GIF of this size, and nothing after it."""
    return b"GIF89a" + struct.pack("<HHBBB", width, height, 0, 0, 0)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    page = pathlib.Path(sys.argv[1]).resolve() / "index.html"
    tool = sys.argv[2]
    chromium = shutil.which("chromium")
    if chromium is None or not pathlib.Path(CHROMEDRIVER).exists():
        skip("no chromium or chromium-driver (apt-get install chromium chromium-driver)")
    if not page.exists():
        skip(f"the page is not built: {page}")
    work = pathlib.Path(tempfile.mkdtemp(prefix="qpbm-pixels-"))
    files = pictures()
    files_and_large = dict(files, **{"huge.gif": (gif_header(10000, 10000), "", True)})
    for name, (data, _, _) in files_and_large.items():
        (work / name).write_bytes(data)

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    failures = []

    def check(condition, what):
        if not condition:
            failures.append(what)
            print("FAIL:", what)

    try:
        driver.get(page.as_uri())
        driver.set_script_timeout(60)
        driver.execute_async_script("window.quorvelpbm.ready.then(arguments[arguments.length - 1]);")
        # What the tool converts for each file: the same file, or the pixels the browser decodes.
        sources = {}
        for name, (data, _, decoded) in files.items():
            if not decoded:
                sources[name] = work / name
                continue
            pixels = decode_in_page(driver, data)
            check(pixels is not None and pixels[:2] == (W, H), f"{name}: the browser decodes it at {W} x {H}")
            if pixels is None:
                continue
            if name.endswith(".webp"):
                mine = Image.open(io.BytesIO(data)).convert("RGBA").tobytes()
                # Opaque samples come back as they are; others through the canvas's premultiplied alpha.
                same = all(pixels[2][i + 3] == mine[i + 3] and (mine[i + 3] != 255 or pixels[2][i:i + 3] == mine[i:i + 3])
                           for i in range(0, len(mine), 4))
                check(same, f"{name}: the browser's pixels are Pillow's")
            kind, netpbm = netpbm_of(W, H, pixels[2])
            check(kind == ("pam" if name.startswith("clear") else "ppm"), f"{name}: decoded as a {kind}")
            sources[name] = work / (name + "." + kind)
            sources[name].write_bytes(netpbm)

        driver.find_element(By.ID, "files").send_keys("\n".join(str(work / n) for n in files_and_large))
        WebDriverWait(driver, 30).until(
            lambda d: len(d.find_elements(By.CSS_SELECTOR, "#results > li")) == len(files_and_large))
        wait_idle(driver)
        for settings, tool_options in CASES:
            set_options(driver, settings)
            results = {r["name"]: r for r in driver.execute_script(
                """return window.quorvelpbm.results().map((r) => ({name: r.name, status: r.status,
                     outputName: r.outputName || null, bytes: r.bytes ? btoa(String.fromCharCode(...r.bytes)) : null}));""")}
            for name, source in sources.items():
                # The page's default is auto for a picture the browser decodes, as
                # the tool's is for PNG, JPEG and TIFF; for the netpbm file of its
                # pixels the tool is told so.
                decoded = files[name][2]
                options = tool_options or (["--method", "auto"] if decoded else [])
                code, expected, stderr = tool_output(tool, source, options, work)
                got = results[name]
                check(code == 0 and got["status"] == 0 and base64.b64decode(got["bytes"] or "") == expected,
                      f"{name} {settings}: the tool's bytes for {source.name} ({stderr.strip()})")
                # Inputs of one stem (photo.png, photo.jpg) keep their extensions.
                stem = name.rsplit(".", 1)[0]
                shared = sum(other.rsplit(".", 1)[0] == stem for other in files_and_large) > 1
                expected_name = (name if shared else stem) + ".pbm"
                check(got["outputName"] == expected_name, f"{name}: output named {got['outputName']}")

        for name, (_, reader, _) in files.items():
            facts = driver.find_element(By.CSS_SELECTOR, f"#results > li[data-name='{name}'] .facts").text
            check(facts.startswith(reader + ","), f"{name}: the card names its reader: {facts!r}")
        refused = driver.find_element(By.CSS_SELECTOR, "#results > li[data-name='huge.gif'] .refused").text
        check(refused.startswith("Too large:") and "10000 x 10000" in refused, f"the 100 MP GIF is refused: {refused!r}")
    finally:
        driver.quit()
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print(f"{len(failures)} check(s) failed")
        sys.exit(1)
    print("pixels test passed")


if __name__ == "__main__":
    main()
