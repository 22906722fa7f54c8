"""Builds the ecalias package together with the libecalias.so it loads.

The build step runs CMake for the `ecalias_shared` target and puts the library inside the
package, next to its modules, where the package loads it with ctypes (no LD_LIBRARY_PATH,
no system install). The native build lives in build-python/native; ECALIAS_CMAKE_BUILD_DIR
names another CMake build folder to take the library from (configured there when it is
not yet; an existing build is only brought up to date).
"""
import os
import re
import shutil
import subprocess

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

ROOT = os.path.dirname(os.path.abspath(__file__))


def project_version() -> str:
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as cmake:
        match = re.search(r"project\(\s*ecalias\s+VERSION\s+([0-9.]+)", cmake.read())
    if not match:
        raise RuntimeError("CMakeLists.txt names no project version")
    return match.group(1)


def build_native_library() -> str:
    """Builds libecalias.so with CMake; returns the path of the library file."""
    build_dir = os.environ.get("ECALIAS_CMAKE_BUILD_DIR") or os.path.join(ROOT, "build-python", "native")
    build_dir = os.path.abspath(build_dir)
    cmake = shutil.which("cmake")
    if cmake is None:
        raise RuntimeError("cmake is needed to build libecalias.so: install it (Debian: apt-get install cmake, "
                           "or run scripts/setup.sh)")
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        subprocess.check_call([cmake, "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                               "-DEC_TESTS=OFF"])
    with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as cache:
        settings = cache.read()
    for option in ("EC_SANITIZE", "EC_FUZZ"):
        if re.search(r"^%s:BOOL=(ON|1|TRUE|YES)$" % option, settings, re.MULTILINE | re.IGNORECASE):
            raise RuntimeError("%s is configured with %s=ON: a library built with the sanitizers cannot be "
                               "loaded by Python; point ECALIAS_CMAKE_BUILD_DIR at a normal build" % (build_dir, option))
    jobs = os.environ.get("ECALIAS_BUILD_JOBS") or str(os.cpu_count() or 1)
    subprocess.check_call([cmake, "--build", build_dir, "--target", "ecalias_shared", "-j", jobs])
    library = os.path.join(build_dir, "libecalias.so")
    if not os.path.exists(library):
        raise RuntimeError("the CMake build made no %s" % library)
    return os.path.realpath(library)


class BuildPyWithLibrary(build_py):
    """build_py, then libecalias.so into the built package."""

    def run(self) -> None:
        super().run()
        target = os.path.join(self.build_lib, "ecalias", "libecalias.so")
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(build_native_library(), target)  # the file itself, not the symlink chain


class BinaryDistribution(Distribution):
    """The package carries a native library: its wheel is for this platform only."""

    def has_ext_modules(self) -> bool:
        return True


setup(
    version=project_version(),
    cmdclass={"build_py": BuildPyWithLibrary},
    distclass=BinaryDistribution,
    options={"build": {"build_base": os.path.join("build-python", "setuptools")}},
)
