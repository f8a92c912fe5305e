#!/usr/bin/python3
"""The converter page against the native tool, on the same picture.

Usage: web_bench.py BUILD_DIR [--megapixels 10] [--runs 7] [--json OUT]

Makes a noise BMP with BUILD_DIR/bench/quorvelpbm_make_bmp, converts it with
BUILD_DIR/tools/quorvelpbm (wall time of the process, output in the same
directory) and in BUILD_DIR/web/index.html in headless Chromium (the time
the page reports for one conversion: the input copied into the wasm heap,
qpbm_output_size, qpbm_convert_memory and the output copied out; reading
the file into the page is not counted, nor drawing the preview), for each
set of options, alternating the two. Prints the medians of each and of the
per-pair ratios page / tool.
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

# Page settings and the tool's options for the same conversion.
CASES = [
    ("plain PBM, channels", {"method": "0", "raw": False}, []),
    ("raw PBM, channels", {"method": "0", "raw": True}, ["--raw"]),
    ("raw PBM, floyd-steinberg", {"method": "3", "raw": True}, ["--raw", "--method", "floyd-steinberg"]),
]


def tool_time(tool, source, options, work):
    start = time.perf_counter()
    subprocess.run([tool, *options, str(source), str(work / "out")], check=True)
    return (time.perf_counter() - start) * 1000


def page_time(driver, settings):
    """Converts once with `settings` (every change of an option converts again)."""
    driver.execute_script(
        """const settings = arguments[0];
           for (const [id, value] of Object.entries(settings)) {
             const field = document.getElementById(id);
             if (field.type === "checkbox") field.checked = value; else field.value = value;
           }
           document.getElementById("method").dispatchEvent(new Event("change", {bubbles: true}));""",
        settings)
    result = driver.execute_script("return window.quorvelpbm.results()[0];")
    assert result["status"] == 0, result["message"]
    return result["milliseconds"]


def paired(driver, settings, tool, source, options, runs, work):
    """Alternates the page and the tool, swapping the order every pair; medians and the median ratio."""
    pages, tools, ratios = [], [], []
    for run in range(runs):
        if run % 2:
            native, page = tool_time(tool, source, options, work), page_time(driver, settings)
        else:
            page, native = page_time(driver, settings), tool_time(tool, source, options, work)
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
        for name, settings, tool_options in CASES:
            page, native, ratio = paired(driver, settings, tool, source, tool_options, args.runs, work)
            rows.append({"case": name, "page_ms": round(page, 1), "tool_ms": round(native, 1),
                         "ratio": round(ratio, 2)})
    finally:
        driver.quit()
        for f in work.iterdir():
            f.unlink()
        work.rmdir()
    print(f"{width} x {height} 24-bit BMP, Chromium {version}, {args.runs} pairs, load {os.getloadavg()[0]:.2f}")
    print(f"{'case':28} {'page ms':>9} {'tool ms':>9} {'ratio':>6}")
    for row in rows:
        print(f"{row['case']:28} {row['page_ms']:9.1f} {row['tool_ms']:9.1f} {row['ratio']:6.2f}")
    if args.json:
        record = {"date": time.strftime("%Y-%m-%d %H:%M"), "load": round(os.getloadavg()[0], 2), "width": width,
                  "height": height, "chromium": version, "pairs": args.runs, "results": rows}
        pathlib.Path(args.json).write_text(json.dumps(record, indent=2) + "\n")


if __name__ == "__main__":
    sys.exit(main())
