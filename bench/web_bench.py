#!/usr/bin/python3
"""The converter page against the native tool, on the same picture.

Usage: web_bench.py BUILD_DIR [--megapixels 10] [--runs 7] [--json OUT]

Makes a noise BMP with BUILD_DIR/bench/quorvelpbm_make_bmp and a 12 MP JPEG
(Pillow: noise over gradients, quality 90), and converts them with
BUILD_DIR/tools/quorvelpbm (wall time of the process, output in the same
directory) and in BUILD_DIR/web/index.html in headless Chromium, alternating
the two. The page's time is the card's own, from queued to ready to
download (read, converted, previews and checksum made, drawn): for the BMP
converted again after each change of options, for the JPEG from the file
chosen, each time anew. Prints the medians of each and of the per-pair
ratios page / tool, and the longest task on the page's thread meanwhile.
"""

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

# Page settings and the tool's options for the same conversion (the page's
# default output is a PNG).
DEFAULTS = {"method": "8", "raw": False, "to": "4"}
CASES = [
    ("plain PBM, channels", {"method": "0", "to": "1"}, ["--to", "pbm"]),
    ("raw PBM, floyd-steinberg", {"method": "3", "raw": True, "to": "1"},
     ["--to", "pbm", "--raw", "--method", "floyd-steinberg"]),
    ("PNG, floyd-steinberg", {"method": "3"}, ["--to", "png", "--method", "floyd-steinberg"]),
]
JPEG_CASE = ("12 MP JPEG, chosen, to PNG, floyd-steinberg", {"method": "3"},
             ["--to", "png", "--method", "floyd-steinberg"])


def tool_time(tool, source, options, work):
    start = time.perf_counter()
    subprocess.run([tool, *options, str(source), str(work / "out")], check=True)
    return (time.perf_counter() - start) * 1000


def set_options(driver, settings):
    driver.execute_script(
        """const settings = arguments[0];
           for (const [id, value] of Object.entries(settings)) {
             const field = document.getElementById(id);
             if (field.type === "checkbox") field.checked = value; else field.value = value;
           }
           document.getElementById("method").dispatchEvent(new Event("change", {bubbles: true}));""",
        {**DEFAULTS, **settings})
    driver.execute_async_script("window.quorvelpbm.idle().then(arguments[arguments.length - 1]);")


def ready_after(driver):
    result = driver.execute_script("return window.quorvelpbm.results().slice(-1)[0];")
    assert result["status"] == 0, result["message"]
    return result["readyAfter"]


def page_time(driver, settings):
    """Converts the BMP again with `settings`, toggling invert twice so that every run converts."""
    set_options(driver, {**settings, "invert": True})
    set_options(driver, settings)
    return ready_after(driver)


def jpeg_time(driver, jpeg):
    """Chooses the JPEG anew, after clearing the cards."""
    driver.find_element(By.ID, "clear").click()
    driver.find_element(By.ID, "files").send_keys(str(jpeg))
    WebDriverWait(driver, 60).until(lambda d: d.execute_script("return window.quorvelpbm.results().length") == 1)
    driver.execute_async_script("window.quorvelpbm.idle().then(arguments[arguments.length - 1]);")
    return ready_after(driver)


def paired(page_run, tool, source, options, runs, work):
    """Alternates the page and the tool, swapping the order every pair; medians and the median ratio."""
    pages, tools, ratios = [], [], []
    for run in range(runs):
        if run % 2:
            native, page = tool_time(tool, source, options, work), page_run()
        else:
            page, native = page_run(), tool_time(tool, source, options, work)
        pages.append(page)
        tools.append(native)
        ratios.append(page / native)
    return statistics.median(pages), statistics.median(tools), statistics.median(ratios)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--megapixels", type=float, default=10)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--json")
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()
    tool = build / "tools" / "quorvelpbm"
    width = 4000
    height = int(args.megapixels * 1e6 / width)
    work = pathlib.Path(tempfile.mkdtemp(prefix="qpbm-web-bench-"))
    source = work / "noise.bmp"
    subprocess.run([build / "bench" / "quorvelpbm_make_bmp", str(width), str(height), str(source)], check=True)
    jpeg = work / "photo.jpg"
    from PIL import Image
    noise = Image.effect_noise((4000, 3000), 40)
    ramp = Image.linear_gradient("L").resize((4000, 3000))
    Image.merge("RGB", (Image.blend(noise, ramp, 0.5), ramp, noise)).save(jpeg, quality=90)

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    rows = []
    try:
        driver.get((build / "web" / "index.html").as_uri())
        driver.set_script_timeout(60)
        driver.execute_async_script("window.quorvelpbm.ready.then(arguments[arguments.length - 1]);")
        driver.find_element(By.ID, "files").send_keys(str(source))
        WebDriverWait(driver, 120).until(lambda d: d.execute_script("return window.quorvelpbm.results().length") == 1)
        version = driver.capabilities.get("browserVersion", "?")
        driver.execute_script("""window.longTasks = [];
            new PerformanceObserver((list) => window.longTasks.push(...list.getEntries().map((e) => e.duration)))
              .observe({type: "longtask"});""")
        for name, settings, tool_options in CASES:
            page, native, ratio = paired(lambda: page_time(driver, settings), tool, source, tool_options, args.runs,
                                         work)
            rows.append({"case": name, "page_ms": round(page, 1), "tool_ms": round(native, 1),
                         "ratio": round(ratio, 2)})
        name, settings, tool_options = JPEG_CASE
        set_options(driver, settings)
        page, native, ratio = paired(lambda: jpeg_time(driver, jpeg), tool, jpeg, tool_options, args.runs, work)
        rows.append({"case": name, "page_ms": round(page, 1), "tool_ms": round(native, 1), "ratio": round(ratio, 2)})
        longest = driver.execute_script("return Math.max(0, ...window.longTasks);")
    finally:
        driver.quit()
        for f in work.iterdir():
            f.unlink()
        work.rmdir()
    print(f"{width} x {height} 24-bit BMP, Chromium {version}, {args.runs} pairs, load {os.getloadavg()[0]:.2f}")
    print(f"{'case':44} {'page ms':>9} {'tool ms':>9} {'ratio':>6}")
    for row in rows:
        print(f"{row['case']:44} {row['page_ms']:9.1f} {row['tool_ms']:9.1f} {row['ratio']:6.2f}")
    print(f"longest task on the page's thread: {longest:.0f} ms")
    if args.json:
        record = {"date": time.strftime("%Y-%m-%d %H:%M"), "load": round(os.getloadavg()[0], 2), "width": width,
                  "height": height, "chromium": version, "pairs": args.runs, "results": rows,
                  "longest_task_ms": round(longest)}
        pathlib.Path(args.json).write_text(json.dumps(record, indent=2) + "\n")


if __name__ == "__main__":
    sys.exit(main())
