"""Builds the vorpel extension with the project's own CMake build; pyproject.toml has the rest."""

import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent

# The extension is built on the stable ABI of CPython 3.11, so one wheel serves 3.11 and later.
LIMITED_API = "cp311"


class CMakeExtension(Extension):
    """The extension CMake builds: setuptools compiles no sources of its own."""

    def __init__(self, name: str, target: str) -> None:
        super().__init__(name, sources=[], py_limited_api=True)
        self.target = target


class BuildWithCMake(build_ext):
    """Configures a CMake tree without tests or benchmarks and builds only the extension."""

    def build_extension(self, ext: Extension) -> None:
        assert isinstance(ext, CMakeExtension)
        tree = Path(self.build_temp).resolve() / "cmake"
        configure = ["cmake", "-S", str(ROOT), "-B", str(tree), "-DCMAKE_BUILD_TYPE=Release",
                     "-DVORPEL_TESTS=OFF", "-DVORPEL_BENCH=OFF",
                     f"-DVORPEL_PYTHON_EXECUTABLE={sys.executable}"]
        if shutil.which("ninja") and not (tree / "CMakeCache.txt").exists():
            configure.append("-GNinja")
        # CMAKE_BUILD_PARALLEL_LEVEL in the environment bounds the jobs, as for any CMake build.
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(tree), "--target", ext.target], check=True)
        built = tree / "python" / "vorpel" / "_vorpel.abi3.so"
        destination = Path(self.get_ext_fullpath(ext.name))
        destination.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, destination)


setup(
    ext_modules=[CMakeExtension("vorpel._vorpel", target="_vorpel")],
    cmdclass={"build_ext": BuildWithCMake},
    options={
        # The CMake release tree is build/, so setuptools keeps its own work out of it.
        "build": {"build_base": "build-pip"},
        "bdist_wheel": {"py_limited_api": LIMITED_API},
    },
)
