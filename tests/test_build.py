"""Building for a chosen interpreter: the extension's suffix, and the versions the build refuses."""
import os
import shutil
import stat
import subprocess
import sys
import sysconfig
import tempfile
import unittest

from tests import support


class InterpreterChoiceTest(unittest.TestCase):

    def test_extension_is_the_running_interpreters(self):
        import smsline
        self.assertTrue(smsline.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX")), smsline.__file__)

    @unittest.skipIf(shutil.which("cmake") is None, "cmake is not installed")
    def test_unsupported_interpreters_stop_the_configuration(self):
        # Interpreters that only answer the version question: the build must
        # refuse them at configure time, saying why, before compiling anything.
        for version, implementation, reason in (("3.14", "cpython", "frame records"),
                                                ("3.9", "pypy", "builds for CPython 3.6 to 3.13")):
            with self.subTest(version=version, implementation=implementation):
                work = tempfile.mkdtemp(prefix="smsline-build-")
                self.addCleanup(shutil.rmtree, work, ignore_errors=True)
                python = os.path.join(work, "python")
                with open(python, "w") as script:
                    script.write("#!/bin/sh\necho %s %s\n" % (version, implementation))
                os.chmod(python, stat.S_IRWXU)
                done = subprocess.run(["cmake", "-S", support.ROOT, "-B", os.path.join(work, "build"),
                                       "-DPYTHON=" + python], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                      universal_newlines=True, timeout=120)
                output = " ".join(done.stdout.split())
                self.assertNotEqual(done.returncode, 0)
                self.assertIn("%s is %s %s" % (python, implementation, version), output)
                self.assertIn(reason, output)
                self.assertFalse(os.path.exists(os.path.join(work, "build", "Makefile")))


if __name__ == "__main__":
    unittest.main()
