"""Installs smsline: the extension (built by CMake from CMakeLists.txt, the one
list of sources), the project's modem library smsline_gsm, the modem simulator
and the smsline-send command."""
import json
import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.install import install

try:
    from setuptools.command.build import build
except ImportError:   # setuptools before 62 (CPython 3.6's 40.6) has only distutils' own
    from distutils.command.build import build

HERE = os.path.dirname(os.path.abspath(__file__))
# What `pip install .` builds; recorded beside the installed packages (see below).
BUILD_TYPE = "Release"


def read(*parts):
    with open(os.path.join(HERE, *parts), encoding="utf-8") as handle:
        return handle.read()


# The version is written once, in smsline_tools/__init__.py (smsline-send --version shows it).
VERSION = re.search(r"^__version__ = '([^']+)'", read("python", "smsline_tools", "__init__.py"), re.M).group(1)


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
            "-DCMAKE_BUILD_TYPE=" + BUILD_TYPE,
            "-DSMSLINE_TESTS=OFF",
        ])
        subprocess.check_call(["cmake", "--build", build_dir, "--target", "smsline", "-j", "2"])
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(build_dir, os.path.basename(target)), target)
        # The submodule's Python text beside the extension, the file its code
        # objects name (the build put it beside the one it made).
        if not self.inplace:
            beside = self.source_text()
            os.makedirs(os.path.dirname(beside), exist_ok=True)
            shutil.copyfile(os.path.join(build_dir, "smsline", "send_sms.py"), beside)
        # How the installed extension was built, for the benchmarks' report.
        if not self.inplace:
            record = self.build_record()
            os.makedirs(os.path.dirname(record), exist_ok=True)
            with open(record, "w") as handle:
                json.dump({"build_type": BUILD_TYPE, "version": VERSION}, handle)

    def build_record(self):
        return os.path.join(self.build_lib, "smsline_tools", "build_info.json")

    def source_text(self):
        return os.path.join(os.path.dirname(self.get_ext_fullpath("smsline")), "smsline", "send_sms.py")

    def get_outputs(self):
        # The build record and the source text are outputs of this command.
        # `setup.py install` (what pip 18 on 3.6 runs) lists only the
        # commands' outputs among the installed files, and pip uninstall
        # removes only those.
        outputs = build_ext.get_outputs(self)
        if not self.inplace:
            outputs += [self.build_record(), self.source_text()]
        return outputs


class Build(build):
    """The build command, starting from an empty build_lib.  setuptools keeps
    whatever an earlier build left there, and everything there goes into the
    wheel: a package since renamed or removed (an old gsmmodem, say) would be
    installed again.  pip builds in the source tree from version 21.3."""

    def run(self):
        if os.path.isdir(self.build_lib):
            shutil.rmtree(self.build_lib)
        build.run(self)


class Install(install):
    """The install command, with the layout options that Debian's setuptools
    (the one available for 3.12 and later here) reads from it; Debian's own
    distutils is patched to have them, the one setuptools carries is not."""

    install_layout = None
    prefix_option = None


setup(
    name="smsline",
    version=VERSION,
    description="Send an SMS through a USB GSM modem from Python",
    long_description=read("README.md"),
    long_description_content_type="text/markdown",
    author="smsline maintainers",
    license="MIT",
    keywords="sms gsm modem at-commands serial",
    classifiers=[
        "Development Status :: 4 - Beta",
        "Environment :: Console",
        "Intended Audience :: Developers",
        "License :: OSI Approved :: MIT License",
        "Operating System :: POSIX :: Linux",
        "Programming Language :: C++",
        "Programming Language :: Python :: 3.6",
        "Programming Language :: Python :: 3.7",
        "Programming Language :: Python :: 3.8",
        "Programming Language :: Python :: 3.9",
        "Programming Language :: Python :: 3.10",
        "Programming Language :: Python :: 3.11",
        "Programming Language :: Python :: 3.12",
        "Programming Language :: Python :: 3.13",
        "Topic :: Communications :: Telephony",
    ],
    python_requires=">=3.6, <3.14",
    install_requires=["pyserial>=3.3"],   # 3.3 brought exclusive=True
    ext_modules=[CMakeExtension("smsline")],
    cmdclass={"build": Build, "build_ext": CMakeBuild, "install": Install},
    package_dir={"": "python"},
    packages=["smsline_gsm", "smsline_tools"],
    entry_points={"console_scripts": ["smsline-send = smsline_tools.cli:main"]},
    zip_safe=False,
)
