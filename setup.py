"""Installs smsline: the extension (built by CMake from CMakeLists.txt, the one
list of sources), the project's modem library gsmmodem, the modem simulator
and the smsline-send command."""
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))


class CMakeExtension(Extension):
    def __init__(self, name):
        Extension.__init__(self, name, sources=[])


class CMakeBuild(build_ext):
    """Builds the extension target with CMake and puts it where setuptools expects it."""

    def build_extension(self, ext):
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        cache = os.path.join(build_dir, "CMakeCache.txt")
        # A build directory copied along with the source tree belongs to another source directory.
        if os.path.exists(cache):
            with open(cache) as handle:
                if "CMAKE_HOME_DIRECTORY:INTERNAL=%s\n" % HERE not in handle.read():
                    shutil.rmtree(build_dir)
        os.makedirs(build_dir, exist_ok=True)
        subprocess.check_call([
            "cmake", "-S", HERE, "-B", build_dir,
            "-DPYTHON=" + sys.executable,
            "-DCMAKE_BUILD_TYPE=Release",
            "-DSMSLINE_TESTS=OFF",
        ])
        subprocess.check_call(["cmake", "--build", build_dir, "--target", "smsline", "-j", "2"])
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(build_dir, os.path.basename(target)), target)


setup(
    name="smsline",
    version="0.1.0",
    description="Send an SMS through a USB GSM modem from Python",
    python_requires="~=3.6.0",
    ext_modules=[CMakeExtension("smsline")],
    cmdclass={"build_ext": CMakeBuild},
    package_dir={"": "python"},
    packages=["gsmmodem", "smsline_tools"],
    entry_points={"console_scripts": ["smsline-send = smsline_tools.cli:main"]},
    zip_safe=False,
)
