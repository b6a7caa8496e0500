"""Extension-module files in smsline's directories, found and loaded as its submodules."""
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import unittest

from tests.support import EXT_SUFFIX as FULL_SUFFIX, ExtensionDir, run_python

# Single-phase: the module comes from PyModule_Create; LABEL tells the builds apart.
SINGLE_PHASE = r"""
#include <Python.h>
static int init_calls = 0;
static PyObject* answer(PyObject* self, PyObject* unused) { return PyLong_FromLong(42); }
static PyMethodDef methods[] = {{"answer", answer, METH_NOARGS, NULL}, {NULL, NULL, 0, NULL}};
static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "extra", NULL, -1, methods};
PyMODINIT_FUNC PyInit_extra(void) {
    PyObject* module = PyModule_Create(&definition);
    if (module == NULL) return NULL;
    PyModule_AddStringConstant(module, "LABEL", LABEL);
    PyModule_AddIntConstant(module, "INIT_CALLS", ++init_calls);
    return module;
}
"""

# Multi-phase: the init function hands back its definition; the exec slot runs later.
MULTI_PHASE = r"""
#include <Python.h>
static int exec_multi(PyObject* module) {
    PyObject* name = PyObject_GetAttrString(module, "__name__");
    if (name == NULL) return -1;
    int status = PyModule_AddObject(module, "NAME_AT_EXEC", name);
    if (status < 0) { Py_DECREF(name); return -1; }
    return PyModule_AddStringConstant(module, "EXECUTED", "yes");
}
static PyModuleDef_Slot slots[] = {{Py_mod_exec, exec_multi}, {0, NULL}};
static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "multi", NULL, 0, NULL, slots};
PyMODINIT_FUNC PyInit_multi(void) { return PyModuleDef_Init(&definition); }
"""

NO_SYMBOL = r"""
#include <Python.h>
PyMODINIT_FUNC PyInit_somethingelse(void) { return NULL; }
"""

RAISING = r"""
#include <Python.h>
PyMODINIT_FUNC PyInit_raising(void) {
    PyErr_SetString(PyExc_RuntimeError, "raising init failed on purpose");
    return NULL;
}
"""

SILENT = r"""
#include <Python.h>
PyMODINIT_FUNC PyInit_silent(void) { return NULL; }
"""

# Returns a module while leaving an exception set.
UNREPORTED = r"""
#include <Python.h>
static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "unreported", NULL, -1, NULL};
PyMODINIT_FUNC PyInit_unreported(void) {
    PyObject* module = PyModule_Create(&definition);
    PyErr_SetString(PyExc_ValueError, "left behind");
    return module;
}
"""


# Where the interpreter's record of the extension files it loaded can be
# reached (up to 3.12), a file imported again is not initialised again.
RECORD_REACHABLE = sys.version_info < (3, 13)


def compile_extensions(directory, builds):
    """Compiles each (file name, source, label) of `builds` into `directory` with the system compiler."""
    include = sysconfig.get_paths()["include"]
    for file_name, source, label in builds:
        source_path = os.path.join(directory, file_name + ".c")
        with open(source_path, "w") as source_file:
            source_file.write(source)
        command = ["gcc", "-shared", "-fPIC", "-I" + include, '-DLABEL="%s"' % label,
                   "-o", os.path.join(directory, file_name), source_path]
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                universal_newlines=True)
        if result.returncode != 0:
            raise RuntimeError("could not build %s:\n%s" % (file_name, result.stdout))


class ScenarioMixin(object):
    """Compiled modules in a class-wide temp dir; each scenario copies them into a fresh D/smsline."""

    BUILDS = ()

    @classmethod
    def setUpClass(cls):
        cls.built = tempfile.mkdtemp(prefix="smsline-extfiles-")
        try:
            compile_extensions(cls.built, cls.BUILDS)
        except BaseException:
            shutil.rmtree(cls.built, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.built, ignore_errors=True)

    def setUp(self):
        self.root = ExtensionDir()
        self.addCleanup(self.root.__exit__)
        self.package_dir = os.path.join(self.root.path, "smsline")
        os.mkdir(self.package_dir)
        self.tarvik_dir = os.path.join(self.root.path, "tarvik")
        os.mkdir(self.tarvik_dir)

    def place(self, built_name, directory, file_name):
        target = os.path.join(directory, file_name)
        shutil.copy(os.path.join(self.built, built_name), target)
        return target

    def run_scenario(self, code, tarvik=True):
        env = {"TARVIK_PACKAGE_smsline": self.tarvik_dir} if tarvik else None
        result = run_python(code, env=env, path=[self.root.path])
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(result.stdout.strip().splitlines()[-1])


class ExtensionFileLoadingTests(ScenarioMixin, unittest.TestCase):

    BUILDS = (("extra_package.so", SINGLE_PHASE, "package dir"),
              ("extra_tarvik.so", SINGLE_PHASE, "tarvik dir"),
              ("multi.so", MULTI_PHASE, ""))

    def test_import_finds_and_loads_single_and_multi_phase_files(self):
        extra = self.place("extra_package.so", self.package_dir, "extra" + FULL_SUFFIX)
        multi = self.place("multi.so", self.tarvik_dir, "multi.so")
        facts = self.run_scenario("""
            import ctypes, json, os, sys
            import smsline
            loader = smsline.__loader__
            spec = loader.find_spec("smsline.extra")
            facts = {"spec": [spec.name, spec.loader is loader, spec.submodule_search_locations],
                     "find_module": [loader.find_module("smsline.multi") is loader,
                                     loader.find_module("smsline.absent")]}
            default_flags = sys.getdlopenflags()
            sys.setdlopenflags(os.RTLD_NOW | os.RTLD_GLOBAL)
            import smsline.extra
            sys.setdlopenflags(default_flags)
            import smsline.multi
            process = ctypes.CDLL(None)
            facts["global_symbols"] = [hasattr(process, "PyInit_extra"), hasattr(process, "PyInit_multi")]
            e, m = smsline.extra, smsline.multi
            facts["extra"] = [e.__name__, e.__file__, e.LABEL, e.answer(), e.INIT_CALLS,
                              sys.modules["smsline.extra"] is e]
            facts["multi"] = [m.__name__, m.EXECUTED, m.NAME_AT_EXEC, sys.modules["smsline.multi"] is m]
            import importlib.util
            facts["located"] = [[x.__spec__.name, x.__spec__.origin, x.__spec__.has_location,
                                 x.__loader__ is loader, x.__file__,
                                 importlib.util.find_spec(x.__name__) is x.__spec__] for x in (e, m)]
            facts["absent_spec"] = loader.find_spec("smsline.absent")
            try:
                import smsline.absent
            except ModuleNotFoundError as error:
                facts["absent"] = error.name
            print(json.dumps(facts))
            """)
        self.assertEqual(facts["spec"], ["smsline.extra", True, None])
        self.assertEqual(facts["find_module"], [True, None])
        # Each file is opened with the flags the interpreter had at that moment.
        self.assertEqual(facts["global_symbols"], [True, False])
        self.assertEqual(facts["extra"], ["smsline.extra", extra, "package dir", 42, 1, True])
        self.assertEqual(facts["multi"], ["smsline.multi", "yes", "smsline.multi", True])
        # Both carry what the import system gives the modules it makes.
        self.assertEqual(facts["located"], [["smsline.extra", extra, True, True, extra, True],
                                            ["smsline.multi", multi, True, True, multi, True]])
        self.assertIsNone(facts["absent_spec"])
        self.assertEqual(facts["absent"], "smsline.absent")

    def test_earlier_suffix_wins_whatever_the_directory_order(self):
        code = """
            import json
            import smsline.extra
            print(json.dumps([smsline.extra.LABEL, smsline.extra.__file__, smsline.__path__]))
            """
        # The package dir comes first in __path__ but holds the later suffix.
        self.place("extra_package.so", self.package_dir, "extra.so")
        tarvik_file = self.place("extra_tarvik.so", self.tarvik_dir, "extra" + FULL_SUFFIX)
        label, file_name, path = self.run_scenario(code)
        self.assertEqual(path, [self.package_dir, self.tarvik_dir])
        self.assertEqual([label, file_name], ["tarvik dir", tarvik_file])

        os.remove(tarvik_file)
        os.remove(os.path.join(self.package_dir, "extra.so"))
        package_file = self.place("extra_package.so", self.package_dir, "extra.abi3.so")
        self.place("extra_tarvik.so", self.tarvik_dir, "extra.so")
        label, file_name, _ = self.run_scenario(code)
        self.assertEqual([label, file_name], ["package dir", package_file])

    def test_entries_that_are_not_directories_and_look_alike_files_are_skipped(self):
        not_a_directory = os.path.join(self.root.path, "plain-file")
        decoys = os.path.join(self.root.path, "decoys")
        os.mkdir(decoys)
        # Names that a loose match would take; none of them is a loadable file.
        for decoy in ("extra.debug.so", "extra.so.1", "extras.so", "extra" + FULL_SUFFIX + ".old", "extra"):
            with open(os.path.join(decoys, decoy), "w") as decoy_file:
                decoy_file.write("not a shared object\n")
        with open(not_a_directory, "w") as plain:
            plain.write("")
        extra = self.place("extra_package.so", self.package_dir, "extra.so")
        facts = self.run_scenario("""
            import json, sys
            import smsline
            default_path = list(smsline.__path__)
            smsline.__path__[:] = ["/notexist", %r, b"/bytes", 7 ** 40, %r] + default_path
            import smsline.extra
            print(json.dumps([default_path[1], smsline.extra.__file__]))
            """ % (not_a_directory, decoys), tarvik=False)
        self.assertEqual(facts, ["/notexist", extra])

    def test_found_name_loads_from_its_recorded_path_without_scanning(self):
        extra = self.place("extra_package.so", self.package_dir, "extra.so")
        multi = self.place("multi.so", self.package_dir, "multi.so")
        facts = self.run_scenario("""
            import json, os, sys, types
            import smsline
            loader = smsline.__loader__
            assert loader.find_spec("smsline.extra") is not None
            assert loader.find_module("smsline.multi") is loader
            smsline.__path__[:] = []
            first = loader.load_module("smsline.extra")
            second = loader.exec_module(types.ModuleType("smsline.extra"))
            facts = {"loads": [first.__file__, first.INIT_CALLS, second.INIT_CALLS, second.answer(),
                               sys.modules["smsline.extra"] is second,
                               loader.find_spec("smsline.extra")]}
            os.remove(%r)
            try:
                loader.load_module("smsline.multi")
            except ImportError as error:
                facts["gone"] = [type(error).__name__, str(error), error.name, error.path]
            print(json.dumps(facts))
            """ % multi)
        # The second load hands back the module as its first load left it
        # (the one in sys.modules, given the recorded dictionary), except
        # where the interpreter's record cannot be reached.
        self.assertEqual(facts["loads"], [extra, 1, 1 if RECORD_REACHABLE else 2, 42, True, None])
        kind, message, name, path = facts["gone"]
        self.assertEqual([kind, name, path], ["ImportError", "smsline.multi", multi])
        self.assertIn("No such file or directory", message)

    def test_package_made_anew_keeps_its_directories_and_extension_files(self):
        # A reload, and an import after the package left sys.modules, make it
        # from the loader's spec, which carries the first start's location.
        self.place("extra_package.so", self.package_dir, "extra.so")
        self.place("multi.so", self.tarvik_dir, "multi.so")
        facts = self.run_scenario("""
            import importlib, json, sys
            import smsline
            facts = [list(smsline.__path__)]
            for package in [importlib.reload(smsline), None]:
                if package is None:
                    for name in [name for name in sys.modules if name.startswith("smsline")]:
                        del sys.modules[name]
                    package = importlib.import_module("smsline")
                facts.append([package.__path__, package.__spec__.submodule_search_locations is package.__path__,
                              package.__file__, importlib.import_module("smsline.extra").LABEL,
                              importlib.import_module("smsline.multi").EXECUTED])
            print(json.dumps(facts))
            """)
        self.assertEqual(facts[0], [self.package_dir, self.tarvik_dir])
        self.assertEqual(facts[1:], [[facts[0], True, self.package_dir + "/__init__", "package dir", "yes"]] * 2)

    def test_second_import_hands_back_the_recorded_module_as_the_interpreter_does(self):
        # The same file imported again after it left sys.modules, through our
        # loader and as a top-level module through the interpreter's own.
        self.place("extra_package.so", self.package_dir, "extra" + FULL_SUFFIX)
        self.place("extra_package.so", self.tarvik_dir, "extra" + FULL_SUFFIX)
        facts = self.run_scenario("""
            import importlib, json, sys
            sys.path.insert(0, %r)
            facts = {}
            for name in ["smsline.extra", "extra"]:
                first = importlib.import_module(name)
                first.added_later = True
                del sys.modules[name]
                second = importlib.import_module(name)
                facts[name] = [second.INIT_CALLS, hasattr(second, "added_later"), second is first,
                               sys.modules[name] is second, second.answer(), second.__file__ == first.__file__]
            print(json.dumps(facts))
            """ % self.tarvik_dir)
        # The interpreter's own loader calls no init function again: a new
        # module gets the dictionary the first load left.
        self.assertEqual(facts["extra"], [1, False, False, True, 42, True])
        self.assertEqual(facts["smsline.extra"],
                         facts["extra"] if RECORD_REACHABLE else [2, False, False, True, 42, True])


class ExtensionFileFailureTests(ScenarioMixin, unittest.TestCase):

    BUILDS = (("extra.so", SINGLE_PHASE, "good"),
              ("nosymbol.so", NO_SYMBOL, ""),
              ("raising.so", RAISING, ""),
              ("silent.so", SILENT, ""),
              ("unreported.so", UNREPORTED, ""))

    def test_failing_files_raise_and_leave_the_process_working(self):
        for name in ("nosymbol", "raising", "silent", "unreported"):
            self.place(name + ".so", self.package_dir, name + ".so")
        self.place("extra.so", self.tarvik_dir, "extra.so")
        facts = self.run_scenario("""
            import importlib, json, sys
            import smsline
            facts = {}
            for name in ["nosymbol", "raising", "silent", "unreported", "raising"]:
                try:
                    importlib.import_module("smsline." + name)
                except BaseException as error:
                    facts[name] = [type(error).__name__, str(error), getattr(error, "path", None),
                                   "smsline." + name in sys.modules]
            import smsline.extra
            facts["after"] = [smsline.extra.LABEL, smsline.extra.answer()]
            print(json.dumps(facts))
            """)
        nosymbol = os.path.join(self.package_dir, "nosymbol.so")
        self.assertEqual(facts["nosymbol"], [
            "ImportError", "dynamic module does not define module export function (PyInit_nosymbol)",
            nosymbol, False])
        self.assertEqual(facts["raising"], ["RuntimeError", "raising init failed on purpose", None, False])
        self.assertEqual(facts["silent"][0], "SystemError")
        self.assertIn("smsline.silent", facts["silent"][1])
        self.assertEqual(facts["unreported"][:2], [
            "SystemError", "initialization of smsline.unreported raised unreported exception"])
        self.assertEqual(facts["after"], ["good", 42])


if __name__ == "__main__":
    unittest.main()
