#!/usr/bin/python3
"""The converter page in headless Chromium, against the native tool.

Usage: browser_test.py PAGE_DIR TOOL ARTEFACT_DIR

Loads PAGE_DIR/index.html from file://, feeds a 24-bit BMP, a raw PBM and a
file the library refuses through the file input, and checks, for each set
of options: the result bytes equal the tool's output for the same options,
the refusal shows the library's message, a preview of the picture's size,
the downloads (one file, the ZIP of all, all as one PDF or TIFF) hold the
same bytes, and no request leaves the page after it has loaded. Saves a screenshot in
ARTEFACT_DIR. Exits 77 (skipped) when Chromium, its driver, Selenium or the
built page is missing, unless the environment variable CI is "true".
"""

import base64
import io
import json
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

SKIP = 77
CHROMEDRIVER = "/usr/bin/chromedriver"


def skip(reason):
    print(f"browser test: {reason}")
    sys.exit(1 if os.environ.get("CI") == "true" else SKIP)


try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    skip("no selenium for this Python (apt-get install python3-selenium)")


def bmp24(width, height, pixel):
    """A bottom-up 24-bit BMP; pixel(x, y) gives (blue, green, red), y from the top."""
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in reversed(range(height)):
        row = b"".join(bytes(pixel(x, y)) for x in range(width))
        rows.append(row + bytes(stride - len(row)))
    header = struct.pack("<2sIHHI", b"BM", 54 + stride * height, 0, 0, 54)
    header += struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, stride * height, 0, 0, 0, 0)
    return header + b"".join(rows)


def p4(width, height, black):
    """A raw PBM; black(x, y) is true for a black pixel."""
    stride = (width + 7) // 8
    data = bytearray()
    for y in range(height):
        row = bytearray(stride)
        for x in range(width):
            if black(x, y):
                row[x // 8] |= 0x80 >> (x % 8)
        data += row
    return b"P4\n%d %d\n" % (width, height) + bytes(data)


# Page settings (element id -> value, over DEFAULTS) and the tool's options
# for the same. The tool ignores an option of the other direction when it
# detects the direction, as the page does.
DEFAULTS = {"method": "8", "threshold": "", "window": "", "invert": False, "raw": False, "bpp": "24", "to": "0",
            "width": "", "height": "", "fit": False, "rotate": "0", "flip": False, "mirror": False, "upright": True,
            "dpi": ""}


def red_of(driver, name, canvas):
    """The red of each pixel of a card's canvas, row by row."""
    return driver.execute_script(
        """const c = document.querySelector(`li[data-name='${arguments[0]}'] ${arguments[1]}`);
           if (!c) return null;
           const data = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
           return Array.from(data.filter((_, i) => i % 4 == 0));""", name, canvas)


# The settings that change the result's size or orientation.
LAYOUT = ("width", "height", "rotate", "flip", "mirror")
CASES = [
    ({}, []),
    ({"to": "4"}, ["--to", "png"]),
    ({"to": "5", "method": "3"}, ["--to", "tiff", "--method", "floyd-steinberg"]),
    ({"to": "2", "bpp": "1", "invert": True}, ["--to", "bmp", "--bpp", "1", "--invert"]),
    ({"to": "1", "raw": True, "method": "2"}, ["--to", "pbm", "--raw", "--method", "otsu"]),
    ({"to": "4", "width": "30", "rotate": "90", "method": "3"},
     ["--to", "png", "--width", "30", "--rotate", "90", "--method", "floyd-steinberg"]),
    ({"to": "5", "width": "12", "height": "12", "fit": True, "dpi": "203", "mirror": True},
     ["--to", "tiff", "--fit", "12x12", "--dpi", "203", "--mirror"]),
    ({"to": "2", "bpp": "1", "height": "50", "flip": True, "upright": False},
     ["--to", "bmp", "--bpp", "1", "--height", "50", "--flip", "--no-auto-orient"]),
    ({"method": "3", "raw": True}, ["--method", "floyd-steinberg", "--raw"]),
    ({"method": "1", "threshold": "90", "invert": True, "bpp": "1"},
     ["--method", "luma", "--threshold", "90", "--invert", "--bpp", "1"]),
    ({"method": "6", "window": "5"}, ["--method", "sauvola", "--window", "5"]),
    ({"method": "0", "threshold": "200", "raw": True}, ["--threshold", "200", "--raw"]),
]

LOAD_TIMEOUT = 60


def read_results(driver):
    # Bytes as base64, built in chunks: a spread of a large array overflows the stack.
    script = """
        return window.quorvelpbm.results().map((r) => {
          let text = "";
          if (r.bytes)
            for (let i = 0; i < r.bytes.length; i += 8192)
              text += String.fromCharCode.apply(null, r.bytes.subarray(i, i + 8192));
          return {name: r.name, status: r.status, message: r.message, outputName: r.outputName || null,
                  width: r.width, height: r.height, bytes: r.bytes ? btoa(text) : null};
        });"""
    results = driver.execute_script(script)
    for r in results:
        r["bytes"] = base64.b64decode(r["bytes"]) if r["bytes"] is not None else None
    return results


def requests_in(log):
    """URLs the page asked the network for, from Chromium's performance log."""
    urls = []
    for entry in log:
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent":
            urls.append(message["params"]["request"]["url"])
    return urls


def tool_output(tool, source, options, work):
    out = work / ("tool-" + source.name + ".out")
    run = subprocess.run([tool, *options, str(source), str(out)], capture_output=True, text=True)
    return run.returncode, out.read_bytes() if run.returncode == 0 else None, run.stderr


def set_options(driver, settings):
    """Sets every field, then tells the page once, as a change of the last field would."""
    driver.execute_script(
        """const settings = arguments[0];
           for (const [id, value] of Object.entries(settings)) {
             const field = document.getElementById(id);
             if (field.type === "checkbox") field.checked = value; else field.value = value;
           }
           document.getElementById("method").dispatchEvent(new Event("change", {bubbles: true}));""",
        {**DEFAULTS, **settings})
    # The page converts in a worker: wait until no file waits.
    wait_idle(driver)


def wait_idle(driver):
    driver.execute_async_script("window.quorvelpbm.idle().then(arguments[arguments.length - 1]);")


def wait_for_files(directory, names, timeout=30):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if all((directory / n).exists() for n in names) and not list(directory.glob("*.crdownload")):
            return True
        time.sleep(0.1)
    return False


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    page = pathlib.Path(sys.argv[1]).resolve() / "index.html"
    tool = sys.argv[2]
    artefacts = pathlib.Path(sys.argv[3]).resolve()
    chromium = shutil.which("chromium")
    if chromium is None or not os.path.exists(CHROMEDRIVER):
        skip("no chromium or chromium-driver (apt-get install chromium chromium-driver)")
    if not page.exists():
        skip(f"the page is not built: {page} (apt-get install emscripten, then build the target web)")
    artefacts.mkdir(parents=True, exist_ok=True)
    downloads = artefacts / "downloads"
    shutil.rmtree(downloads, ignore_errors=True)
    downloads.mkdir()

    work = pathlib.Path(tempfile.mkdtemp(prefix="qpbm-browser-"))
    inputs = {
        "gradient.bmp": bmp24(37, 23, lambda x, y: (x * 7 % 256, y * 11 % 256, (x + y) * 5 % 256)),
        "stripes.pbm": p4(19, 7, lambda x, y: (x + y) % 3 == 0),
        "broken.bmp": b"BM" + bytes(20),  # ends inside its headers
    }
    paths = []
    for name, data in inputs.items():
        (work / name).write_bytes(data)
        paths.append(str(work / name))

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1200,1400"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    failures = []

    def check(condition, what):
        if not condition:
            failures.append(what)
            print("FAIL:", what)

    try:
        driver.execute_cdp_cmd("Browser.setDownloadBehavior",
                               {"behavior": "allow", "downloadPath": str(downloads)})
        driver.get(page.as_uri())
        driver.set_script_timeout(LOAD_TIMEOUT)
        driver.execute_async_script("window.quorvelpbm.ready.then(arguments[arguments.length - 1]);")
        status = driver.find_element(By.ID, "status").text
        check(status.startswith("Ready"), f"the converter loads (status: {status!r})")
        loaded = requests_in(driver.get_log("performance"))
        check(any(url.startswith("file:") and url.endswith("qpbm.js") for url in loaded),
              "the performance log sees the page's own loads")

        driver.find_element(By.ID, "files").send_keys("\n".join(paths))
        WebDriverWait(driver, 30).until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#results > li")) == 3)
        wait_idle(driver)
        for settings, tool_options in CASES:
            set_options(driver, settings)
            results = {r["name"]: r for r in read_results(driver)}
            for name in inputs:
                code, expected, stderr = tool_output(tool, work / name, tool_options, work)
                got = results[name]
                label = f"{name} {settings}"
                if expected is None:
                    check(got["status"] != 0 and got["message"] in stderr,
                          f"{label}: refused with the tool's message {stderr!r}, page said {got['message']!r}")
                else:
                    check(got["status"] == 0 and got["bytes"] == expected, f"{label}: the tool's bytes")
            # The preview of the BMP, 24-bit or 1-bit, shows the P4's pixels,
            # swapped with --invert, which applies to PBM inputs too; the
            # original under it, the P4's own.
            if not any(settings.get(key) for key in LAYOUT):
                stripes = [(x + y) % 3 == 0 for y in range(7) for x in range(19)]
                black = 255 if settings.get("invert") else 0
                check(red_of(driver, "stripes.pbm", "canvas") == [black if on else 255 - black for on in stripes],
                      f"the preview's pixels {settings}")
                check(red_of(driver, "stripes.pbm", "canvas.before") == [0 if on else 255 for on in stripes],
                      f"the original's pixels {settings}")

        # The refusal is shown; previews have the picture's size.
        results = {r["name"]: r for r in read_results(driver)}
        items = {li.get_attribute("data-name"): li for li in driver.find_elements(By.CSS_SELECTOR, "#results > li")}
        refusal = items["broken.bmp"].find_element(By.CLASS_NAME, "refused").text
        message = results["broken.bmp"]["message"]
        check(refusal == "Refused: " + message and message != "", f"the refusal shows the library's message: {refusal!r}")
        canvas = items["gradient.bmp"].find_element(By.TAG_NAME, "canvas")
        check((canvas.get_attribute("width"), canvas.get_attribute("height")) == ("37", "23"), "preview size")
        toggle = items["stripes.pbm"].find_element(By.CSS_SELECTOR, "button[aria-pressed]")
        toggle.send_keys("\n")  # from the keyboard
        check(toggle.get_attribute("aria-pressed") == "true", "the preview switches to 1:1 from the keyboard")

        # Downloads: one file, then all of them as a ZIP.
        items["gradient.bmp"].find_element(By.CLASS_NAME, "download").click()
        driver.find_element(By.ID, "download-all").click()
        if wait_for_files(downloads, ["gradient.pbm", "quorvelpbm.zip"]):
            check((downloads / "gradient.pbm").read_bytes() == results["gradient.bmp"]["bytes"], "the download")
            with zipfile.ZipFile(downloads / "quorvelpbm.zip") as archive:
                check(archive.testzip() is None, "the ZIP's checksums")
                check(archive.namelist() == ["gradient.pbm", "stripes.bmp"], f"ZIP names {archive.namelist()}")
                check(archive.read("stripes.bmp") == results["stripes.pbm"]["bytes"], "the ZIP's bytes")
        else:
            check(False, "the downloads arrive")

        # All the converted files, in the order shown, as one PDF and one
        # TIFF: the tool's --combine bytes under the same options (--raw is
        # a PBM's, which the tool refuses for these).
        combine = [o for o in CASES[-1][1] if o != "--raw"]
        for button, name in (("download-pdf", "quorvelpbm.pdf"), ("download-tiff", "quorvelpbm.tif")):
            driver.find_element(By.ID, button).click()
            expected = work / ("tool-" + name)
            subprocess.run([tool, *combine, "--combine", str(expected), paths[0], paths[1]], check=True)
            check(wait_for_files(downloads, [name]) and (downloads / name).read_bytes() == expected.read_bytes(),
                  f"{name}: the tool's --combine bytes")

        # A file dropped on the page joins the others.
        driver.execute_script(
            """const files = new DataTransfer();
               files.items.add(new File([new TextEncoder().encode("P1 2 1 1 0")], "dropped.pbm"));
               document.getElementById("drop").dispatchEvent(new DragEvent("drop", {dataTransfer: files}));""")
        WebDriverWait(driver, 30).until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#results > li")) == 4)
        wait_idle(driver)
        dropped = {r["name"]: r for r in read_results(driver)}["dropped.pbm"]
        check(dropped["status"] == 0 and (dropped["width"], dropped["height"]) == (2, 1), "a dropped file converts")
        check(red_of(driver, "dropped.pbm", "canvas.before") == [0, 255], "a plain PBM's original")

        driver.save_screenshot(str(artefacts / "page.png"))
        after = [u for u in requests_in(driver.get_log("performance")) if not u.startswith(("blob:", "data:"))]
        check(after == [], f"no request after load: {after}")
        errors = [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"]
        check(errors == [], f"no errors in the console: {errors}")
        resources = driver.execute_script("return performance.getEntriesByType('resource').map(e => e.name);")
        check(all(r.startswith("file:") for r in resources), f"only the page's own files: {resources}")
    finally:
        driver.quit()
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print(f"{len(failures)} check(s) failed")
        sys.exit(1)
    print("browser test passed; screenshot in", artefacts / "page.png")


if __name__ == "__main__":
    main()
