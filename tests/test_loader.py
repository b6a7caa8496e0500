"""The loader type tarvik_module_loader: its finder and loader methods, and the package-walking tools."""
import contextlib
import io
import gc
import os
import pkgutil
import sys
import tempfile
import types
import unittest
import warnings

import smsline
import smsline.send_sms

L = smsline.__loader__
PACKAGE_DIR = smsline.__path__[0]
# The instance the package start stored for its directory (bound to no row).
CACHE_ENTRY = sys.path_importer_cache[PACKAGE_DIR]


def outcome(function, *args, **kwargs):
    try:
        return function(*args, **kwargs)
    except Exception as e:
        return (type(e), str(e))


class FinderTests(unittest.TestCase):

    def test_find_spec(self):
        spec = L.find_spec("smsline.send_sms")
        self.assertEqual((spec.name, spec.origin, spec.has_location, spec.submodule_search_locations),
                         ("smsline.send_sms", None, False, None))
        self.assertIs(spec.loader, L)
        # The package's spec carries where the package lives, as its start
        # found out: a fresh list of its directories each time.
        package_spec = L.find_spec("smsline", None, None)
        self.assertEqual((package_spec.origin, package_spec.has_location, package_spec.submodule_search_locations),
                         (PACKAGE_DIR + "/__init__", True, smsline.__path__))
        self.assertIsNot(package_spec.submodule_search_locations, smsline.__path__)
        self.assertEqual(package_spec.parent, "smsline")
        self.assertEqual(L.find_spec(fullname="smsline.send_sms", path=None, is_package=None).name,
                         "smsline.send_sms")
        # Exact full names only; a module is no package; unknown children are
        # handed to the extension-file scan, which finds nothing here.
        for name in ["SMSLINE.send_sms", "send_sms", "smsline.send_sms.extra", "smsline.extra", "",
                     "smsline.", "os"]:
            with self.subTest(name=name):
                self.assertIsNone(L.find_spec(name))
        # Static: the instance answers the same, with no bound self.
        self.assertEqual(CACHE_ENTRY.find_spec("smsline.send_sms").name, "smsline.send_sms")

    def test_find_module_and_is_package(self):
        self.assertIs(L.find_module("smsline.send_sms"), L)
        self.assertIs(L.find_module("smsline", None), L)
        self.assertIs(L.find_module("_frozen_importlib"), L)
        self.assertIs(L.find_module("__hello__"), L)
        self.assertIsNone(L.find_module("json"))  # frozen on no version (os is from 3.11)
        self.assertIsNone(L.find_module("smsline.extra"))
        self.assertIs(L.is_package("smsline"), True)
        self.assertIs(L.is_package(fullname="smsline.send_sms"), False)
        self.assertIsNone(L.is_package("os"))
        self.assertIsNone(L.is_package("__hello__"))

    def test_argument_errors(self):
        too_many = [
            (L.find_spec, 4, "find_spec() takes at most 3 arguments (4 given)"),
            (L.find_module, 3, "find_module() takes at most 2 arguments (3 given)"),
            (L.create_module, 2, "create_module() takes at most 1 argument (2 given)"),
            (L.exec_module, 2, "exec_module() takes at most 1 argument (2 given)"),
            (L.load_module, 3, "load_module() takes at most 2 arguments (3 given)"),
            (L.is_package, 2, "is_package() takes at most 1 argument (2 given)"),
            (L.get_data, 2, "get_data() takes at most 1 argument (2 given)"),
            (L.get_source, 2, "get_source() takes at most 1 argument (2 given)"),
            (L.module_repr, 3, "module_repr() takes at most 2 arguments (3 given)"),
            (CACHE_ENTRY.iter_modules, 2, "iter_modules() takes at most 1 argument (2 given)"),
        ]
        for method, count, message in too_many:
            with self.subTest(method=method.__name__):
                self.assertEqual(outcome(method, *["smsline"] * count), (TypeError, message))
                self.assertEqual(outcome(method)[0], TypeError)
                self.assertEqual(outcome(method, "smsline", bogus=1)[0], TypeError)
        # The interpreter's argument parser names the function from 3.7, and
        # words the message as a call's from 3.13.
        if sys.version_info < (3, 13):
            message = "'bogus' is an invalid keyword argument for " + (
                "this function" if sys.version_info < (3, 7) else "find_spec()")
        else:
            message = "find_spec() got an unexpected keyword argument 'bogus'"
        self.assertEqual(outcome(L.find_spec, "smsline", bogus=1), (TypeError, message))
        for method in [L.find_spec, L.find_module, L.load_module, L.is_package, L.get_source]:
            with self.subTest(method=method.__name__, name=1):
                self.assertEqual(outcome(method, 1)[0], TypeError)
                self.assertEqual(outcome(method, b"smsline")[0], TypeError)

    def test_get_source(self):
        # The submodule's text is the one its bodies mirror, built into the
        # shared object; modules of ours without text give None, names we do
        # not serve ImportError.
        with open(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "smsline",
                               "send_sms.py")) as file:
            text = file.read()
        for name, expected in (("smsline.send_sms", text), ("smsline", None), ("__hello__", None),
                               ("smsline.extra", ImportError), ("json", ImportError),
                               ("smsline.send_sms\x00", ImportError)):
            with self.subTest(name=name):
                for loader in (L, CACHE_ENTRY):
                    if expected is ImportError:
                        with self.assertRaises(ImportError) as caught:
                            loader.get_source(name)
                        self.assertEqual(caught.exception.name, name)
                    else:
                        self.assertEqual(loader.get_source(fullname=name), expected)

    def test_type_and_instances(self):
        self.assertEqual(L.__name__, "tarvik_module_loader")
        self.assertIs(type(L), type)
        self.assertEqual(outcome(L), (TypeError, "cannot create 'tarvik_module_loader' instances"))
        with self.assertRaises(TypeError):
            type("Sub", (L,), {})
        self.assertIs(type(CACHE_ENTRY), L)
        self.assertEqual(repr(CACHE_ENTRY), "<tarvik_module_loader for 'smsline'>")
        self.assertEqual(CACHE_ENTRY.iter_modules(""), [("send_sms", False)])
        self.assertEqual(CACHE_ENTRY.iter_modules(package="smsline."), [("smsline.send_sms", False)])
        self.assertEqual(CACHE_ENTRY.iter_modules(None), [("send_sms", False)])
        self.assertEqual(outcome(CACHE_ENTRY.iter_modules, b"x.")[0], TypeError)
        # iter_modules is the one method bound to an instance.
        self.assertEqual(outcome(L.iter_modules, "")[0], TypeError)


class LoadingTests(unittest.TestCase):

    def setUp(self):
        self.submodule = sys.modules["smsline.send_sms"]
        self.package = sys.modules["smsline"]

    def tearDown(self):
        sys.modules["smsline.send_sms"] = self.submodule
        sys.modules["smsline"] = self.package

    def test_submodule_spec_finished_initialising(self):
        # The body gave the module a spec of its own; the loader finished it.
        spec = self.submodule.__spec__
        self.assertEqual((spec.name, spec.origin, spec.has_location),
                         ("smsline.send_sms", self.submodule.__file__, True))
        self.assertIs(spec._initializing, False)

    def test_create_and_exec_module(self):
        spec = L.find_spec("smsline.send_sms")
        created = L.create_module(spec)
        self.assertIsInstance(created, types.ModuleType)
        self.assertEqual(vars(created).keys(), {"__name__", "__doc__", "__package__", "__loader__", "__spec__"})
        self.assertEqual(created.__name__, "smsline.send_sms")
        self.assertEqual(outcome(L.create_module, object())[0], AttributeError)
        # The submodule started earlier: its first module is put back and
        # returned, and the new one is left as it was.
        self.assertIs(L.exec_module(created), self.submodule)
        self.assertIs(sys.modules["smsline.send_sms"], self.submodule)
        self.assertNotIn("send_sms", vars(created))
        self.assertIsNone(L.exec_module(types.ModuleType("unknown")))
        self.assertEqual(outcome(L.exec_module, object())[0], AttributeError)

    def test_failing_spec_read_after_the_start_fails_the_load(self):
        spec = self.submodule.__spec__
        del self.submodule.__spec__
        try:
            with self.assertRaises(AttributeError):
                L.exec_module(types.ModuleType("smsline.send_sms"))
        finally:
            self.submodule.__spec__ = spec
        self.assertIs(sys.modules["smsline.send_sms"], self.submodule)

    def test_load_module_starts_a_new_module_each_time(self):
        self.submodule.BAUDRATE = 9600
        try:
            for _ in range(2):
                self.assertIs(L.load_module("smsline.send_sms"), self.submodule)
                self.assertIs(sys.modules["smsline.send_sms"], self.submodule)
            self.assertEqual(self.submodule.BAUDRATE, 9600)  # nothing ran again
        finally:
            self.submodule.BAUDRATE = 115200
        self.assertIsNone(L.load_module("unknown"))
        self.assertNotIn("unknown", sys.modules)
        # The package row: a fresh module replaces the package in sys.modules,
        # and the package body does not run again.
        fresh = L.load_module("smsline")
        self.assertIsNot(fresh, self.package)
        self.assertIs(sys.modules["smsline"], fresh)
        self.assertFalse(hasattr(fresh, "__path__"))

    def test_frozen_modules_load_through_the_interpreter(self):
        sys.modules.pop("__hello__", None)
        out = io.StringIO()
        try:
            with contextlib.redirect_stdout(out):
                module = L.load_module("__hello__")
            self.assertIs(module, sys.modules["__hello__"])
            self.assertEqual(module.__name__, "__hello__")
            # From 3.11 the module greets only when run as the main module.
            self.assertEqual(out.getvalue(), "Hello world!\n" if sys.version_info < (3, 11) else "")
        finally:
            sys.modules.pop("__hello__", None)

    def test_get_data_and_module_repr(self):
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "data.bin")
            content = bytes(range(256)) * 3 + b"\r\n\x00end"
            with open(path, "wb") as f:
                f.write(content)
            with warnings.catch_warnings(record=True) as caught:
                # The file is closed after the read, so nothing warns.
                warnings.simplefilter("always")
                self.assertEqual(L.get_data(path), content)
                self.assertEqual(CACHE_ENTRY.get_data(filename=path), content)
                gc.collect()
            self.assertEqual([w for w in caught if issubclass(w.category, ResourceWarning)], [])
            with self.assertRaises(FileNotFoundError):
                L.get_data(os.path.join(directory, "missing"))
            with self.assertRaises(IsADirectoryError):
                L.get_data(directory)
        submodule_file = os.path.join(os.path.dirname(PACKAGE_DIR), "smsline", "send_sms.py")
        self.assertEqual(self.submodule.__file__, submodule_file)
        self.assertEqual(L.module_repr(self.submodule), "<module 'smsline.send_sms' from %r>" % submodule_file)
        self.assertEqual(repr(self.submodule), L.module_repr(self.submodule))
        self.assertEqual(L.module_repr(self.package, None),
                         "<module 'smsline' from %r>" % self.package.__file__)
        self.assertEqual(outcome(L.module_repr, object())[0], TypeError)
        self.assertEqual(outcome(L.module_repr, types.ModuleType("nofile"))[0], SystemError)


class ReferenceCountTests(unittest.TestCase):

    def test_repeated_calls_keep_reference_counts(self):
        submodule = sys.modules["smsline.send_sms"]

        def calls():
            L.find_spec("smsline.send_sms"), L.find_spec("smsline.extra"), L.find_module("smsline")
            L.find_module("__hello__"), L.find_module("os"), L.is_package("smsline"), L.is_package("x")
            L.load_module("smsline.send_sms"), L.exec_module(types.ModuleType("smsline.send_sms"))
            L.load_module("unknown"), L.module_repr(submodule), repr(CACHE_ENTRY)
            CACHE_ENTRY.iter_modules(""), CACHE_ENTRY.iter_modules("p.")
            L.create_module(L.find_spec("smsline.send_sms")), outcome(L.find_spec, 1)

        def counts():
            return [sys.getrefcount(o) for o in (L, submodule, CACHE_ENTRY, None, True, False)]

        calls()
        before = counts()
        for _ in range(200):
            calls()
        # Counted before the assertion's own lookup: on 3.9 a count taken
        # while `self.assertEqual` waits on the stack can be one higher.
        after = counts()
        self.assertEqual(after, before)


class PackageWalkingTests(unittest.TestCase):

    def test_pkgutil_and_help_list_the_submodule(self):
        found = list(pkgutil.iter_modules(smsline.__path__))
        self.assertEqual([(info.name, info.ispkg) for info in found], [("send_sms", False)])
        self.assertIs(found[0].module_finder, CACHE_ENTRY)
        self.assertEqual([info.name for info in pkgutil.iter_modules(smsline.__path__, "smsline.")],
                         ["smsline.send_sms"])
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            help(smsline)
        text = out.getvalue()
        self.assertIn("smsline", text)
        self.assertIn("PACKAGE CONTENTS", text)
        self.assertIn("send_sms", text)


if __name__ == "__main__":
    unittest.main()
