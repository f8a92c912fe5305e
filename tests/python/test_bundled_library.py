"""Which qpbm library the package loads: the one QUORVELPBM_LIBRARY names,
else the copy beside the package that a platform wheel ships, else the
system's. Runs each case in a fresh interpreter, on a copy of the package.
"""

from __future__ import annotations

import os
import pathlib
import shutil
import subprocess
import sys
from typing import Optional

import pytest

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]
LIBRARY = os.environ.get("QUORVELPBM_LIBRARY") or str(SOURCE_DIR / "build" / "libqpbm.so.1")

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the copy is libqpbm.so.1 on Linux")


def loaded_library(package_root: pathlib.Path, variable: Optional[str]) -> str:
    environment = {k: v for k, v in os.environ.items() if k not in ("QUORVELPBM_LIBRARY", "PYTHONPATH")}
    if variable is not None:
        environment["QUORVELPBM_LIBRARY"] = variable
    code = f"import sys; sys.path.insert(0, {str(package_root)!r}); import quorvelpbm; print(quorvelpbm.library_path())"
    run = subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    return run.stdout.strip()


def test_the_copy_beside_the_package_comes_after_the_variable(tmp_path: pathlib.Path) -> None:
    package = tmp_path / "quorvelpbm"
    shutil.copytree(SOURCE_DIR / "python" / "quorvelpbm", package, ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copyfile(LIBRARY, package / "libqpbm.so.1")
    assert loaded_library(tmp_path, None) == str(package / "libqpbm.so.1")
    assert loaded_library(tmp_path, LIBRARY) == LIBRARY


@pytest.mark.skipif(shutil.which("patchelf") is None, reason="needs patchelf to make a copy that needs a missing library")
def test_a_copy_that_cannot_load_names_what_it_lacks(tmp_path: pathlib.Path) -> None:
    package = tmp_path / "quorvelpbm"
    shutil.copytree(SOURCE_DIR / "python" / "quorvelpbm", package, ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copyfile(LIBRARY, package / "libqpbm.so.1")
    subprocess.run(["patchelf", "--add-needed", "libqpbm-test-missing.so.7", str(package / "libqpbm.so.1")], check=True)
    environment = {k: v for k, v in os.environ.items() if k not in ("QUORVELPBM_LIBRARY", "PYTHONPATH")}
    code = f"import sys; sys.path.insert(0, {str(tmp_path)!r}); import quorvelpbm"
    run = subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True, text=True)
    assert run.returncode != 0
    assert "cannot load the wheel's own" in run.stderr and "libqpbm-test-missing.so.7" in run.stderr, run.stderr
