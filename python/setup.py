"""Builds the quorvelpbm package; the metadata is in pyproject.toml.

A wheel built from this directory alone holds Python code only and loads the
qpbm library from the system. When the package directory also holds the
library itself (the CMake target ``wheel`` copies it there), the wheel ships
it, and is tagged for this platform: any Python 3 (ctypes, no extension
module), no Python ABI, and the platform that platform.txt names (the CMake
target writes the manylinux tag that the library meets there), else this
machine's.
"""

import pathlib

from setuptools import Distribution, setup

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70.1 (Debian 12): the wheel package's command
    from wheel.bdist_wheel import bdist_wheel

# The names the package looks for beside itself, one per platform (also its
# package data in pyproject.toml).
BUNDLED_LIBRARIES = ["libqpbm.so.1", "libqpbm.1.dylib", "qpbm.dll"]
PACKAGE_DIR = pathlib.Path(__file__).resolve().parent / "quorvelpbm"
BUNDLED = any((PACKAGE_DIR / name).exists() for name in BUNDLED_LIBRARIES)
PLATFORM_FILE = PACKAGE_DIR.parent / "platform.txt"


class PlatformDistribution(Distribution):
    # A compiled library makes the wheel platform-specific and installs the
    # package among the platform's modules (platlib), as an extension would.
    def has_ext_modules(self) -> bool:
        return BUNDLED


class PlatformWheel(bdist_wheel):
    def get_tag(self):  # type: ignore[no-untyped-def]
        python, abi, platform = super().get_tag()
        if not BUNDLED:
            return (python, abi, platform)
        if PLATFORM_FILE.exists():
            platform = PLATFORM_FILE.read_text().strip()
        return ("py3", "none", platform)


setup(distclass=PlatformDistribution, cmdclass={"bdist_wheel": PlatformWheel})
