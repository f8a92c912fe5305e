#!/usr/bin/python3
"""The converter page as a user meets it, in headless Chromium.

Usage: page_test.py PAGE_DIR ARTEFACT_DIR

Large pictures (progress, Cancel, a picture too large, long tasks on the
page's thread), invalid options, before/after and zoom, Remove, the same file
twice, a drop outside the box, the ZIP's compression and dates, the phone
layout, and axe-core's accessibility rules (from tests/browser/node_modules,
installed by `npm ci` there). Saves the README's screenshots in
ARTEFACT_DIR. Exits 77 (skipped) when something it needs is missing, unless
the environment variable CI is "true".
"""

import base64
import os
import pathlib
import re
import shutil
import struct
import sys
import tempfile
import time
import zipfile

from browser_test import CHROMEDRIVER, bmp24, p4, skip, wait_for_files

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

HERE = pathlib.Path(__file__).resolve().parent
AXE = HERE / "node_modules" / "axe-core" / "axe.min.js"
CARDS = "#results > li"


def bmp1(width, height, row):
    """A bottom-up 1-bit BMP, black and white palette; row(y) gives its packed bytes, y from the top."""
    stride = (width + 31) // 32 * 4
    header = struct.pack("<2sIHHI", b"BM", 62 + stride * height, 0, 0, 62)
    header += struct.pack("<IiiHHIIiiII", 40, width, height, 1, 1, 0, stride * height, 0, 0, 2, 0)
    header += bytes([0, 0, 0, 0, 255, 255, 255, 0])
    return header + b"".join(row(y).ljust(stride, b"\0") for y in reversed(range(height)))


def bmp8(width, height, row):
    """A bottom-up 8-bit grey BMP; row(y) gives its width bytes of palette indices."""
    stride = (width + 3) // 4 * 4
    header = struct.pack("<2sIHHI", b"BM", 1078 + stride * height, 0, 0, 1078)
    header += struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, stride * height, 0, 0, 256, 0)
    header += b"".join(bytes([g, g, g, 0]) for g in range(256))
    return header + b"".join(row(y).ljust(stride, b"\0") for y in reversed(range(height)))


class Page:
    def __init__(self, driver, work):
        self.driver = driver
        self.work = work
        self.failures = []

    def check(self, condition, what):
        if not condition:
            self.failures.append(what)
            print("FAIL:", what)

    def file(self, name, data):
        path = self.work / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        return str(path)

    def add(self, *paths):
        self.driver.find_element(By.ID, "files").send_keys("\n".join(paths))

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def wait(self, condition, timeout=60):
        return WebDriverWait(self.driver, timeout, poll_frequency=0.05).until(lambda d: condition())

    def idle(self):
        self.driver.execute_async_script("window.quorvelpbm.idle().then(arguments[arguments.length - 1]);")

    def results(self):
        return self.js("return window.quorvelpbm.results().map((r) => ({name: r.name, state: r.state, "
                       "stale: r.stale, status: r.status, kind: r.kind || '', outputName: r.outputName || null, "
                       "made: r.date ? r.date.getTime() : null}));")

    def card(self, name):
        return self.driver.find_element(By.CSS_SELECTOR, f"{CARDS}[data-name='{name}']")

    def cards(self):
        return self.driver.find_elements(By.CSS_SELECTOR, CARDS)

    def status(self):
        return self.driver.find_element(By.ID, "status").text

    def option(self, field, value):
        self.js("""const field = document.getElementById(arguments[0]);
                   if (field.type === "checkbox") field.checked = arguments[1]; else field.value = arguments[1];
                   field.dispatchEvent(new Event("change", {bubbles: true}));""", field, value)

    def clear(self):
        self.driver.find_element(By.ID, "clear").click()
        self.wait(lambda: not self.cards())

    def axe(self, what):
        result = self.driver.execute_async_script(
            AXE.read_text() + "\nconst done = arguments[arguments.length - 1];"
            "axe.run(document).then((r) => done(r.violations.map((v) => v.id + ': ' + v.nodes.length)));")
        self.check(result == [], f"axe-core finds no violations {what}: {result}")


def large_pictures(page):
    # 200 MP: converts with a progress line, and Cancel stops the next run.
    page.option("raw", True)
    page.js("""window.announced = [];
               new MutationObserver(() => window.announced.push(document.getElementById('announce').textContent))
                 .observe(document.getElementById('announce'), {childList: true, characterData: true, subtree: true});""")
    page.add(page.file("huge.bmp", bmp1(20000, 10000, lambda y: b"\x0f\xf0" * 2500)))
    page.wait(lambda: page.js("return document.querySelector('.progress-line progress') !== null"), 30)
    seen = page.js("return document.querySelector('.progress-line').textContent")
    page.check(seen.startswith("Now "), f"a progress line for the 200 MP picture: {seen!r}")
    # A percentage while the library converts it, not only while it is read.
    try:
        page.wait(lambda: re.search(r"converting: [1-9]\d*%",
                                    page.js("const l = document.querySelector('.progress-line');"
                                            "return l ? l.textContent : ''")), 60)
        converting = True
    except Exception:
        converting = False
    page.check(converting, "the progress line counts the rows as the library converts them")
    page.check(not page.driver.find_element(By.ID, "overall").get_attribute("hidden"), "the overall progress shows")
    page.idle()
    huge = page.results()[0]
    page.check(huge["status"] == 0, f"the 200 MP picture converts: {huge}")
    page.wait(lambda: page.js("return document.getElementById('announce').textContent").startswith("Converted"), 10)
    announced = page.js("return window.announced")
    page.check(len(announced) <= 3 and not any("%" in text for text in announced),
               f"the live region says the start and the end, no percentages: {announced}")
    size = page.js("const c = document.querySelector('canvas'); return [c.width, c.height];")
    page.check(size[0] * size[1] <= 4_000_000 and size[0] > 0, f"its preview is drawn scaled down: {size}")
    page.option("raw", False)
    page.wait(lambda: page.js("return document.querySelector('.progress-line progress') !== null"), 30)
    page.driver.find_element(By.ID, "cancel").click()
    page.wait(lambda: page.results()[0]["state"] == "cancelled", 10)
    page.check("Cancel" in page.status(), f"the status says it was cancelled: {page.status()!r}")
    page.check(page.card("huge.bmp").find_element(By.CLASS_NAME, "download").get_attribute("href") is None,
               "the cancelled card's old result does not download")
    page.add(page.file("after-cancel.pbm", p4(8, 2, lambda x, y: x == y)))
    page.idle()
    page.check(page.results()[1]["status"] == 0, "after Cancel the page converts the next file")
    page.clear()

    # A picture whose BMP would be over 4 GiB: its message, then Clear works.
    page.option("bpp", "24")
    page.add(page.file("too-large.pbm", b"P4\n60000 60000\n" + bytes(1000)))
    page.idle()
    refused = page.card("too-large.pbm").find_element(By.CLASS_NAME, "refused").text
    page.check(refused.startswith("Too large:") and "60000" in refused, f"the too-large message: {refused!r}")
    page.check("too-large.pbm" in page.status() and "1 bit per pixel" in page.status(),
               f"the status says what to do: {page.status()!r}")
    page.clear()
    page.check(page.status().startswith("Ready"), "Clear works after a failure")

    # 50 MP: no task on the page's thread over 200 ms while it converts.
    page.js("""window.longTasks = [];
               new PerformanceObserver((list) => window.longTasks.push(...list.getEntries().map((e) => e.duration)))
                 .observe({type: "longtask"});""")
    # First, that the observer sees a task of 250 ms.
    page.js("setTimeout(() => { const end = performance.now() + 250; while (performance.now() < end); });")
    page.wait(lambda: page.js("return window.longTasks.length > 0"), 5)
    page.check(page.js("return Math.max(...window.longTasks)") >= 250, "the observer measures long tasks")
    page.js("window.longTasks = [];")
    page.add(page.file("fifty.bmp", bmp8(10000, 5000, lambda y: bytes(range(256)) * 39 + bytes(16))))
    page.idle()
    page.check(page.results()[0]["status"] == 0, "the 50 MP picture converts")
    time.sleep(0.3)  # the observer reports a little later
    longest = page.js("return Math.max(0, ...window.longTasks);")
    print(f"longest task on the page's thread while converting 50 MP: {longest} ms")
    page.check(longest <= 200, f"the page's thread never blocks over 200 ms (longest task {longest} ms)")
    page.clear()


def invalid_options(page, downloads):
    page.option("method", "0")  # channels, whose threshold is 0 to 255
    page.add(page.file("gradient.bmp", bmp24(37, 23, lambda x, y: (x * 7 % 256, y * 11 % 256, (x + y) * 5 % 256))))
    page.idle()
    page.option("threshold", "300")
    field = page.driver.find_element(By.ID, "threshold")
    page.check(field.get_attribute("aria-invalid") == "true", "the invalid threshold is marked")
    message = page.driver.find_element(By.ID, "threshold-error").text
    page.check("0 to 255" in message, f"a message next to the threshold: {message!r}")
    link = page.card("gradient.bmp").find_element(By.CLASS_NAME, "download")
    page.check(link.get_attribute("href") is None and link.get_attribute("aria-disabled") == "true",
               "the stale download is disabled")
    page.check("Out of date" in page.card("gradient.bmp").text, "the stale card says so")
    page.check(not page.driver.find_element(By.ID, "download-all").is_enabled(), "no ZIP of stale results")
    page.add(page.file("meanwhile.pbm", p4(3, 3, lambda x, y: x == 1)))
    page.wait(lambda: len(page.cards()) == 2, 10)
    page.check(page.results()[1]["state"] == "queued", "a file added meanwhile is queued")
    page.option("threshold", "200")
    page.idle()
    states = [(r["state"], r["stale"]) for r in page.results()]
    page.check(states == [("done", False), ("done", False)], f"both convert once the threshold is valid: {states}")
    page.check(field.get_attribute("aria-invalid") is None, "the mark goes with the error")
    # A BMP option converts the BMP again, not the PBM.
    made = [r["made"] for r in page.results()]
    page.option("invert", True)
    page.idle()
    again = [r["made"] for r in page.results()]
    page.check(again[0] > made[0] and again[1] == made[1], f"only the BMP is converted again: {made} -> {again}")
    page.option("invert", False)
    page.option("method", "8")
    page.idle()
    # The size's fields: a box needs both sides; a bad side is marked.
    for width, height, fit, wanted in (("384", "", True, "needs both"), ("0", "", False, "whole numbers"),
                                       ("2.5", "", False, "whole numbers")):
        page.option("width", width)
        page.option("height", height)
        page.option("fit", fit)
        message = page.driver.find_element(By.ID, "size-error").text
        page.check(wanted in message and page.driver.find_element(By.ID, "width").get_attribute("aria-invalid") == "true",
                   f"width {width!r}, fit {fit}: marked with {message!r}")
    page.option("width", "")
    page.option("fit", False)
    page.idle()


def cards(page, artefacts):
    # The same file twice is one card; the same name in another folder gets a number.
    first = page.file("one/same.pbm", p4(4, 4, lambda x, y: x < 2))
    page.add(first)
    page.idle()
    page.add(first, page.file("two/same.pbm", p4(5, 5, lambda x, y: y < 2)))
    page.idle()
    names = sorted(r["outputName"] for r in page.results() if r["name"] == "same.pbm")
    page.check(names == ["same (2).bmp", "same.bmp"], f"one card for one file, numbered names for two: {names}")
    page.check("Already in the list" in page.status(), f"the status says why no card came: {page.status()!r}")

    # A drop on the heading, outside the box.
    page.js("""const files = new DataTransfer();
               files.items.add(new File([new TextEncoder().encode("P1 2 1 1 0")], "dropped.pbm"));
               document.querySelector("h1").dispatchEvent(new DragEvent("drop", {dataTransfer: files, bubbles: true}));""")
    page.wait(lambda: any(r["name"] == "dropped.pbm" for r in page.results()), 10)

    # Refusals that say what the file is.
    page.add(page.file("empty.bmp", b""), page.file("renamed.bmp", b"\x89PNG\r\n\x1a\n" + bytes(40)))
    page.idle()
    empty = page.card("empty.bmp").find_element(By.CLASS_NAME, "refused").text
    png = page.card("renamed.bmp").find_element(By.CLASS_NAME, "refused").text
    page.check("empty" in empty and "PNG" in png and empty != png, f"distinct refusals: {empty!r}, {png!r}")

    # Before/after and zoom on the gradient.
    card = page.card("gradient.bmp")
    before = page.js("""const c = arguments[0].querySelector("canvas.before");
                        return c ? Array.from(c.getContext("2d").getImageData(5, 3, 1, 1).data) : null;""", card)
    page.check(before == [(5 + 3) * 5, 3 * 11, 5 * 7, 255], f"the original's pixel under the split: {before}")
    split = card.find_element(By.CLASS_NAME, "split")
    page.js("arguments[0].value = 80; arguments[0].dispatchEvent(new Event('input'));", split)
    # The cut is measured across the picture as drawn, not across its box: at
    # 80 the original ends four fifths across it; a press puts the cut there.
    geometry = page.js("""const c = arguments[0].querySelector('canvas:not(.before)');
        const box = c.getBoundingClientRect();
        const scale = Math.min(box.width / c.width, box.height / c.height);
        const width = c.width * scale, left = box.left + (box.width - width) / 2;
        const clip = getComputedStyle(arguments[0].querySelector('canvas.before')).clipPath;
        const right = parseFloat(clip.split(' ')[1]);
        return [box.right - right, left + 0.8 * width, left + 0.25 * width, (box.top + box.bottom) / 2];""", card)
    page.check(abs(geometry[0] - geometry[1]) < 1.5, f"the cut sits 80 % across the picture: {geometry}")
    page.js("""arguments[0].querySelector('.stack').dispatchEvent(new PointerEvent('pointerdown',
               {clientX: arguments[1], clientY: arguments[2], buttons: 1, bubbles: true}));""", card, geometry[2], geometry[3])
    page.check(split.get_attribute("value") == "25" or page.js("return arguments[0].value", split) == "25",
               f"a press moves the cut under it: {page.js('return arguments[0].value', split)}")
    toggle = card.find_element(By.CSS_SELECTOR, "button[aria-pressed]")
    page.js("arguments[0].scrollIntoView({block: 'center'})", toggle)
    toggle.click()
    page.js("const s = arguments[0].querySelector('.view select'); s.value = '4'; s.dispatchEvent(new Event('change'));", card)
    width, rendering = page.js("const c = arguments[0].querySelector('canvas');"
                               "return [c.getBoundingClientRect().width, getComputedStyle(c).imageRendering];", card)
    page.check(round(width) == 37 * 4 and rendering == "pixelated", f"a sharp 4x zoom: {width}, {rendering}")
    labels = page.js(f"return Array.from(document.querySelectorAll('{CARDS} button[aria-pressed]'), "
                     "(b) => b.getAttribute('aria-label'));")
    page.check(len(set(labels)) == len(labels), f"each toggle has its own name: {labels}")

    # Remove one card.
    count = len(page.cards())
    remove = page.card("dropped.pbm").find_element(By.CLASS_NAME, "remove")
    page.js("arguments[0].scrollIntoView({block: 'center'})", remove)
    remove.click()
    page.check(len(page.cards()) == count - 1 and all(r["name"] != "dropped.pbm" for r in page.results()),
               "Remove takes the card away")


def zip_download(page, downloads):
    page.add(page.file("big-plain.bmp", bmp24(600, 400, lambda x, y: (0, 0, 0) if (x // 7 + y // 5) % 2 else (255,) * 3)))
    page.idle()
    started = time.time()
    page.driver.find_element(By.ID, "download-all").click()
    if not wait_for_files(downloads, ["quorvelpbm.zip"]):
        page.check(False, "the ZIP arrives")
        return
    with zipfile.ZipFile(downloads / "quorvelpbm.zip") as archive:
        page.check(archive.testzip() is None, "the ZIP's checksums")
        info = archive.getinfo("big-plain.pbm")
        page.check(info.compress_type == zipfile.ZIP_DEFLATED and info.compress_size * 10 < info.file_size,
                   f"the ZIP is deflated: {info.compress_size} of {info.file_size} bytes")
        taken = time.mktime(info.date_time + (0, 0, -1))
        page.check(abs(taken - started) < 120, f"the ZIP's date is the conversion's: {info.date_time}")


def screenshots(page, artefacts):
    """The README's: the bundled photo as a PNG (made by the browser) dithered, beside a PBM and a refusal."""
    page.clear()
    page.option("method", "3")
    sample = (HERE.parent.parent / "examples" / "sample.bmp").read_bytes()
    page.driver.execute_async_script(
        """const done = arguments[arguments.length - 1];
           const bytes = Uint8Array.from(atob(arguments[0]), (c) => c.charCodeAt(0));
           createImageBitmap(new Blob([bytes])).then((bitmap) => {
             const canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
             canvas.getContext("2d").drawImage(bitmap, 0, 0);
             return canvas.convertToBlob({type: "image/png"});
           }).then((png) => {
             const files = new DataTransfer();
             files.items.add(new File([png], "sample.png", {type: "image/png"}));
             document.getElementById("drop").dispatchEvent(new DragEvent("drop", {dataTransfer: files}));
             done();
           });""", base64.b64encode(sample).decode())
    page.add(page.file("stripes.pbm", p4(96, 64, lambda x, y: (x // 8 + y // 8) % 2 == 0)),
             page.file("notes.bmp", b"BM" + bytes(20)))
    page.idle()
    facts = page.card("sample.png").find_element(By.CLASS_NAME, "facts").text
    page.check(facts.startswith("read by the library: PNG, RGBA, 640 x 480 -> sample.pbm"), f"the PNG's card: {facts!r}")
    page.axe("with results")
    page.js("document.getElementById('results-heading').scrollIntoView()")
    page.driver.save_screenshot(str(artefacts / "web-page.png"))
    card = page.card("sample.png")
    toggle = card.find_element(By.CSS_SELECTOR, "button[aria-pressed]")
    page.js("arguments[0].scrollIntoView({block: 'center'})", toggle)
    toggle.click()
    page.js("const s = arguments[0].querySelector('.split'); s.value = 40; s.dispatchEvent(new Event('input'));", card)
    size = page.driver.get_window_size()
    page.driver.set_window_size(size["width"], 1800)  # the whole card above the bar
    card.screenshot(str(artefacts / "web-compare.png"))
    page.driver.set_window_size(size["width"], size["height"])


def every_card_ends(page):
    to = page.js("return document.getElementById('to').value")
    page.check(to == "4", f"a PNG is the default output: {to!r}")
    # A 0 x 0 picture has nothing to draw: its card still ends, the queue
    # goes on to the next file, and idle() resolves. (A PNG cannot hold it.)
    page.option("to", "1")
    page.add(page.file("empty-picture.bmp", bmp24(0, 0, lambda x, y: (0, 0, 0))),
             page.file("after-empty.pbm", p4(8, 2, lambda x, y: x == y)))
    page.idle()
    states = {r["name"]: r["state"] for r in page.results()}
    page.check(states == {"empty-picture.bmp": "done", "after-empty.pbm": "done"}, f"every card ends: {states}")
    page.check(not page.js("return document.querySelector('.progress-line') !== null"), "no card still shows progress")
    page.check("no pixels" in page.card("empty-picture.bmp").text, "the 0 x 0 card says why it has no preview")
    page.clear()
    # Under auto the card says what auto chose, in the library's words.
    page.option("method", "7")
    page.add(page.file("auto.bmp", bmp24(40, 30, lambda x, y: ((x * 37 + y * 11) % 256,) * 3)))
    page.idle()
    decision = page.card("auto.bmp").find_element(By.CLASS_NAME, "decision").text
    page.check(decision.startswith("Auto chose "), f"the card says what auto chose: {decision!r}")
    page.option("method", "8")
    page.clear()
    # Two inputs of one stem keep their extensions in the outputs' names.
    page.option("to", "4")
    page.add(page.file("twin.pbm", p4(4, 4, lambda x, y: x < 2)), page.file("twin.pgm", b"P5\n2 2\n255\n\0\xff\xff\0"))
    page.idle()
    names = sorted(r["outputName"] for r in page.results())
    page.check(names == ["twin.pbm.png", "twin.pgm.png"], f"no two outputs share a name: {names}")
    page.clear()
    # Every refusal can be seen, not only the latest: a count, and a view of them alone.
    page.add(page.file("bad-one.bmp", b"BM" + bytes(20)), page.file("good.pbm", p4(2, 2, lambda x, y: x == y)),
             page.file("bad-two.bmp", b"BM" + bytes(30)))
    page.idle()
    button = page.driver.find_element(By.ID, "refusals")
    page.check(button.is_displayed() and "(2)" in button.text, f"the bar counts the refusals: {button.text!r}")
    button.click()
    shown = sorted(card.get_attribute("data-name") for card in page.cards() if card.is_displayed())
    page.check(shown == ["bad-one.bmp", "bad-two.bmp"], f"the refusals alone: {shown}")
    button.click()
    page.check(all(card.is_displayed() for card in page.cards()), "and then every card again")
    page.clear()
    # A batch converts in the order shown, and each checkbox is a 24 px target.
    page.add(*(page.file(f"order-{n}.pbm", p4(3, 3, lambda x, y: x == y)) for n in range(6)))
    page.idle()
    # Queued together, each is ready later than the one before it (to the microsecond).
    ready = page.js("return window.quorvelpbm.results().map((r) => r.readyAfter);")
    page.check(ready == sorted(ready) and len(set(ready)) == len(ready), f"converted in the order shown: {ready}")
    sizes = page.js("return Array.from(document.querySelectorAll('input[type=checkbox]'), "
                    "(box) => Math.min(box.getBoundingClientRect().width, box.getBoundingClientRect().height));")
    page.check(min(sizes) >= 24, f"checkboxes are at least 24 px: {sizes}")
    page.clear()
    page.option("to", "0")  # the rest as the tool writes by default


def fit_view(page):
    # A 1-pixel checkerboard shown small is its grey, box-averaged, not the
    # browser's smoothing of it (moire); pixel for pixel shows every pixel.
    page.add(page.file("checks.pbm", p4(1600, 1000, lambda x, y: (x + y) % 2 == 0)))
    page.idle()
    canvas = page.card("checks.pbm").find_element(By.CSS_SELECTOR, "canvas:not(.before)")
    try:
        page.wait(lambda: page.js("return arguments[0].width", canvas) < 1600, 5)  # drawn in a task of its own
    except Exception:
        pass  # the check below says what it found
    drawn = page.js("""const c = arguments[0];
        const data = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        let low = 255, high = 0;  // inside: the last row and column may average fewer pixels
        for (let y = 0; y + 1 < c.height; ++y)
          for (let x = 0; x + 1 < c.width; ++x) {
            const v = data[4 * (y * c.width + x)];
            low = Math.min(low, v);
            high = Math.max(high, v);
          }
        return [c.width, c.getBoundingClientRect().width * devicePixelRatio, low, high];""", canvas)
    page.check(drawn[0] <= 2 * drawn[1] and 100 <= drawn[2] <= drawn[3] <= 155,
               f"the fit view is the checkerboard's grey at about its drawn size: {drawn}")
    page.js("arguments[0].click()", page.card("checks.pbm").find_element(By.CSS_SELECTOR, "button[aria-pressed]"))
    page.check(page.js("return arguments[0].width", canvas) == 1600, "pixel for pixel draws every pixel")
    page.clear()

    # Past the preview's 2 MP, pixel for pixel draws the result's own bits
    # where the view is, at any zoom, and the arrow keys move it.
    page.add(page.file("wide-checks.pbm", p4(3000, 1200, lambda x, y: (x + y) % 2 == 0)))
    page.idle()
    card = page.card("wide-checks.pbm")
    page.js("arguments[0].click()", card.find_element(By.CSS_SELECTOR, "button[aria-pressed]"))
    view = card.find_element(By.CLASS_NAME, "bits")
    read_view = """const v = arguments[0], c = v.querySelector('canvas'), zoom = arguments[1];
        const data = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        let wrong = 0;
        for (let y = 0; y < c.height; ++y)
          for (let x = 0; x < c.width; ++x) {
            const px = Math.floor((v.scrollLeft + x) / zoom), py = Math.floor((v.scrollTop + y) / zoom);
            if (data[4 * (y * c.width + x)] !== ((px + py) % 2 === 0 ? 0 : 255)) ++wrong;
          }
        return [c.width * c.height, wrong, v.scrollLeft];"""
    for zoom in (1, 4):
        page.js("const s = arguments[0].querySelector('.view select'); s.value = arguments[1];"
                "s.dispatchEvent(new Event('change'));", card, str(zoom))
        time.sleep(0.2)  # drawn at the next frame
        before = page.js(read_view, view, zoom)
        view.send_keys(Keys.ARROW_RIGHT)
        time.sleep(0.3)
        after = page.js(read_view, view, zoom)
        page.check(before[0] > 10000 and before[1] == after[1] == 0 and after[2] > before[2],
                   f"at {zoom}x the view is the result's own bits, and an arrow key pans it: {before}, {after}")
    page.axe("with a result pixel for pixel")
    page.clear()


def own_options(page):
    # A file's own options convert it alone; the options of all files then
    # skip it, until it takes them again.
    page.add(page.file("mine.pbm", p4(9, 3, lambda x, y: x == y)), page.file("theirs.pbm", p4(9, 3, lambda x, y: x > y)))
    page.idle()
    made = {r["name"]: (r["outputName"], r["made"]) for r in page.results() if r["name"] in ("mine.pbm", "theirs.pbm")}

    def button(name, text):
        return page.card(name).find_element(By.XPATH, f".//button[normalize-space()='{text}']")

    page.js("arguments[0].click()", button("mine.pbm", "Options for this file only"))
    page.check(page.driver.find_element(By.ID, "editing").is_displayed(), "the form says whose options it holds")
    page.option("to", "4")
    page.idle()
    now = {r["name"]: (r["outputName"], r["made"]) for r in page.results()}
    page.check(now["mine.pbm"][0] == "mine.png" and now["theirs.pbm"] == made["theirs.pbm"],
               f"its own options convert it alone: {made} -> {now}")
    page.js("document.getElementById('editing-done').click()")
    page.check(page.js("return document.getElementById('to').value") == "0", "the form holds all files' options again")
    page.option("to", "5")
    page.idle()
    now = {r["name"]: r["outputName"] for r in page.results() if r["name"] in ("mine.pbm", "theirs.pbm")}
    page.check(now == {"mine.pbm": "mine.png", "theirs.pbm": "theirs.tif"}, f"all files' options skip it: {now}")
    page.js("arguments[0].click()", button("mine.pbm", "Use the options of all files"))
    page.idle()
    now = {r["name"]: r["outputName"] for r in page.results()}
    page.check(now["mine.pbm"] == "mine.tif", f"back to all files' options, converted again: {now}")
    page.option("to", "0")
    page.clear()


def phone(page, artefacts):
    for width, height in ((390, 844), (320, 640)):
        page.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": True})
        wide = page.js("return [document.documentElement.scrollWidth, document.documentElement.clientWidth];")
        page.check(wide[0] <= wide[1] == width, f"no horizontal scroll at {width} px: {wide}")
        if width == 390:
            page.js("document.getElementById('results-heading').scrollIntoView()")
            page.driver.save_screenshot(str(artefacts / "web-phone.png"))
            page.axe("on a phone, with results")
        # Each control, focused from the keyboard, shows above the bar.
        hidden = page.js("""const bar = document.querySelector('.bar').getBoundingClientRect().top;
            const hidden = [];
            for (const control of document.querySelectorAll('#options input, #options select, #results button')) {
              if (control.disabled || control.closest('.bar')) continue;
              control.focus();
              if (control.getBoundingClientRect().bottom > bar) hidden.push(control.id || control.textContent);
            }
            return hidden;""")
        page.check(hidden == [], f"at {width} px no focused control hides behind the bar: {hidden}")
    page.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    page_dir = pathlib.Path(sys.argv[1]).resolve()
    artefacts = pathlib.Path(sys.argv[2]).resolve()
    chromium = shutil.which("chromium")
    if chromium is None or not os.path.exists(CHROMEDRIVER):
        skip("no chromium or chromium-driver (apt-get install chromium chromium-driver)")
    if not (page_dir / "index.html").exists():
        skip(f"the page is not built: {page_dir} (apt-get install emscripten, then build the target web)")
    if not AXE.exists():
        skip(f"no axe-core: {AXE} (npm ci in {HERE})")
    artefacts.mkdir(parents=True, exist_ok=True)
    downloads = artefacts / "page-downloads"
    shutil.rmtree(downloads, ignore_errors=True)
    downloads.mkdir()
    work = pathlib.Path(tempfile.mkdtemp(prefix="qpbm-page-"))
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1200,1000"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    page = Page(driver, work)
    try:
        driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": str(downloads)})
        driver.get((page_dir / "index.html").as_uri())
        driver.set_script_timeout(120)
        driver.execute_async_script("window.quorvelpbm.ready.then(arguments[arguments.length - 1]);")
        page.axe("on the empty page")
        every_card_ends(page)
        fit_view(page)
        large_pictures(page)
        invalid_options(page, downloads)
        cards(page, artefacts)
        zip_download(page, downloads)
        own_options(page)
        screenshots(page, artefacts)
        phone(page, artefacts)
    finally:
        driver.quit()
        shutil.rmtree(work, ignore_errors=True)
    if page.failures:
        print(f"{len(page.failures)} check(s) failed")
        sys.exit(1)
    print("page test passed; screenshots in", artefacts)


if __name__ == "__main__":
    main()
