"""The package smsline as the interpreter starts it: entry point, package body, start-up duties.

Every scenario needs a first import of the package, so each runs in a fresh
interpreter that prints what it saw as one JSON line.
"""
import itertools
import json
import os
import shutil
import subprocess
import sys
import unittest

from tests.support import EXTENSION, EXTENSION_NAME, LIVE_FRAMES, ExtensionDir, run_python

EXTENSION_DIR = os.path.dirname(EXTENSION)

# A stand-in for os.environ, installed by the scenarios before the import:
# records every get() with what sys.modules['smsline'] holds at that moment
# (the package body asks for TARVIK_PACKAGE_smsline after setting __file__
# and __spec__), and runs `on_get` for that key before answering.
ENVIRON_STAND_IN = """
import os, sys
real_environ = os.environ
seen = []

class EnvironStandIn(object):
    on_get = None

    def __getattr__(self, name):
        return getattr(real_environ, name)

    def get(self, key, default=None):
        if key == 'TARVIK_PACKAGE_smsline':
            module = sys.modules.get('smsline')
            seen.append({'args': [key, default], 'module': module,
                         'file': getattr(module, '__file__', None),
                         'spec': getattr(module, '__spec__', None)})
            if self.on_get is not None:
                self.on_get()
        return real_environ.get(key, default)

os.environ = EnvironStandIn()
"""


# The environment of a process that the start-up ends from inside the
# import (the runtime unusable): what the import held on the C stack is
# never released, so under the sanitizers its exit is not checked for leaks.
ENDS_INSIDE_IMPORT = ({"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
                      if os.environ.get("SMSLINE_SANITIZED") else None)


def run_scenario(testcase, code, **kwargs):
    """Runs `code` in a fresh interpreter; returns the JSON value of its last output line."""
    result = run_python(code, **kwargs)
    testcase.assertEqual(result.returncode, 0, result.stderr)
    return json.loads(result.stdout.splitlines()[-1])


class TopLevelImportTests(unittest.TestCase):

    def test_package_attributes_path_loader_and_body_spec(self):
        code = ENVIRON_STAND_IN + """
import json
import smsline
os.environ = real_environ
L = smsline.__loader__
body = seen[0]
spec = body['spec']
cache_entry = sys.path_importer_cache.get(smsline.__path__[0])
print(json.dumps({
    'get_calls': [call['args'] for call in seen],
    'same_module_during_body': body['module'] is smsline,
    'file_during_body': body['file'],
    'spec_name': spec.name,
    'spec_loader_is_L': spec.loader is L,
    'spec_origin': spec.origin,
    'spec_has_location': spec.has_location,
    'spec_locations_is_path': spec.submodule_search_locations is smsline.__path__,
    'spec_initializing': spec._initializing,
    'spec_cached': spec.cached,
    'path': smsline.__path__,
    'loader_is_type': isinstance(L, type),
    'loader_name': L.__name__,
    'meta_path_2_is_L': sys.meta_path[2] is L,
    'meta_path_count': sum(1 for finder in sys.meta_path if finder is L),
    'cache_entry_type_is_L': type(cache_entry) is L,
    'cache_entry_repr': repr(cache_entry),
    'package': smsline.__package__,
    'cached': smsline.__cached__,
    'doc': smsline.__doc__,
}))
"""
        with ExtensionDir() as d:
            facts = run_scenario(self, code, path=[d.path])
        package_dir = d.path + "/smsline"
        self.assertEqual(facts.pop('get_calls'), [["TARVIK_PACKAGE_smsline", "/notexist"]])
        self.assertEqual(facts.pop('path'), [package_dir, "/notexist"])
        self.assertEqual(facts.pop('file_during_body'), package_dir + "/__init__")
        self.assertEqual(facts.pop('spec_origin'), package_dir + "/__init__")
        self.assertEqual(facts, {
            'same_module_during_body': True,
            'spec_name': 'smsline',
            'spec_loader_is_L': True,
            'spec_has_location': True,
            'spec_locations_is_path': True,
            'spec_initializing': True,
            'spec_cached': None,
            'loader_is_type': True,
            'loader_name': 'tarvik_module_loader',
            'meta_path_2_is_L': True,
            'meta_path_count': 1,
            'cache_entry_type_is_L': True,
            'cache_entry_repr': "<tarvik_module_loader for 'smsline'>",
            'package': 'smsline',
            'cached': None,
            'doc': None,
        })

    def test_environment_variable_is_the_second_path_entry_as_given(self):
        code = """
import json, smsline
print(json.dumps(smsline.__path__))
"""
        with ExtensionDir() as d:
            for value in ["", " /some where//odd/ ", "relative"]:
                with self.subTest(value=value):
                    path = run_scenario(self, code, path=[d.path], env={"TARVIK_PACKAGE_smsline": value})
                    self.assertEqual(path, [d.path + "/smsline", value])

    def test_second_entry_point_call_makes_a_bare_module_and_runs_nothing(self):
        code = ENVIRON_STAND_IN + """
import builtins, ctypes, json
import smsline
first = smsline
L = first.__loader__
cache_entry = sys.path_importer_cache[first.__path__[0]]
hook = builtins.isinstance
calls_before = len(seen)
entry_point = ctypes.PyDLL(first.__file__).PyInit_smsline
entry_point.restype = ctypes.py_object
second = entry_point()
second_in_modules = sys.modules['smsline'] is second
third = entry_point()
os.environ = real_environ
print(json.dumps({
    'fresh': second is not first and third is not second,
    'second_entries': {k: v if isinstance(v, str) else repr(v) for k, v in vars(second).items()},
    'second_in_modules': second_in_modules,
    'third_in_modules': sys.modules['smsline'] is third,
    'meta_path_count': sum(1 for finder in sys.meta_path if finder is L),
    'body_ran_again': len(seen) != calls_before,
    'cache_entry_kept': sys.path_importer_cache[first.__path__[0]] is cache_entry,
    'isinstance_kept': builtins.isinstance is hook,
}))
"""
        with ExtensionDir() as d:
            facts = run_scenario(self, code, path=[d.path])
        self.assertEqual(facts.pop('second_entries'), {
            '__name__': 'smsline', '__doc__': 'None', '__package__': 'None',
            '__loader__': 'None', '__spec__': 'None'})
        self.assertEqual(facts, {
            'fresh': True, 'second_in_modules': True, 'third_in_modules': True,
            'meta_path_count': 1, 'body_ran_again': False, 'cache_entry_kept': True,
            'isinstance_kept': True})


class OuterPackageTests(unittest.TestCase):

    def test_loaded_as_submodule_of_an_outer_package(self):
        code = """
import json, sys
import outer.smsline
m = sys.modules['outer.smsline']
L = m.__loader__
cache_entry = sys.path_importer_cache[m.__path__[0]]
facts = {
    'top_level_in_modules': 'smsline' in sys.modules,
    'name': m.__name__,
    'package': m.__package__,
    'path': m.__path__,
    'attribute_of_outer': outer.smsline is m,
    'spec_found': L.find_spec('outer.smsline.send_sms').name,
    'unprefixed_spec': repr(L.find_spec('smsline.send_sms')),
    'unprefixed_package_spec': repr(L.find_spec('smsline')),
    'is_package': L.is_package('outer.smsline'),
    'cache_entry_repr': repr(cache_entry),
    'children': cache_entry.iter_modules(''),
}
import outer.smsline.send_sms
s = sys.modules['outer.smsline.send_sms']
facts.update({
    'sub_package': s.__package__,
    'sub_name': s.__name__,
    'sub_file': s.__file__,
    'sub_loader_is_L': s.__loader__ is L,
    'sub_has_functions': callable(s.send_sms) and callable(s.serial_ports),
    'unprefixed_sub_in_modules': 'smsline.send_sms' in sys.modules,
})
print(json.dumps(facts))
"""
        with ExtensionDir("outer") as d:
            with open(os.path.join(d.path, "__init__.py"), "w") as init:
                init.write("")
            facts = run_scenario(self, code, path=[d.root], env={"TARVIK_PACKAGE_smsline": "X"})
        self.assertEqual(facts, {
            'top_level_in_modules': False,
            'name': 'outer.smsline',
            'package': 'outer.smsline',
            'path': [d.path + "/smsline", "X"],
            'attribute_of_outer': True,
            'spec_found': 'outer.smsline.send_sms',
            'unprefixed_spec': 'None',
            'unprefixed_package_spec': 'None',
            'is_package': True,
            'cache_entry_repr': "<tarvik_module_loader for 'outer.smsline'>",
            'children': [['send_sms', False]],
            'sub_package': 'outer.smsline',
            'sub_name': 'outer.smsline.send_sms',
            'sub_file': d.path + "/smsline/send_sms.py",
            'sub_loader_is_L': True,
            'sub_has_functions': True,
            'unprefixed_sub_in_modules': False,
        })


class PackageBodyFailureTests(unittest.TestCase):

    # Imports the package with the stand-in's get running `on_get`; reports
    # the error, the traceback entries and what the failed module holds, then
    # calls the entry point again.
    SCENARIO = ENVIRON_STAND_IN + """
import ctypes, json, traceback
{setup}
os.environ.on_get = on_get
try:
    import smsline
except BaseException as e:
    error = e
{cleanup}
module = sys.modules.get('smsline')
entries = [list(entry[:3]) for entry in traceback.extract_tb(error.__traceback__)]
calls_before = len(seen)
entry_point = ctypes.PyDLL(SO_PATH).PyInit_smsline
entry_point.restype = ctypes.py_object
later = entry_point()
os.environ = real_environ
print(json.dumps({
    'error': [type(error).__name__, str(error)],
    'entries': entries,
    'module_was_the_failed_one': module is seen[0]['module'],
    'keys': sorted(k for k in vars(module) if k.startswith('__')),
    'file': module.__file__,
    'package': module.__package__,
    'loader': module.__loader__.__name__,
    'spec_name': module.__spec__.name,
    'later_is_new': later is not module and sys.modules['smsline'] is later,
    'body_retried': len(seen) != calls_before,
}))
"""

    def run_failure(self, setup, cleanup=""):
        with ExtensionDir() as d:
            code = self.SCENARIO.replace("{setup}", setup).replace("{cleanup}", cleanup)
            code = "SO_PATH = %r\n" % os.path.join(d.path, EXTENSION_NAME) + code
            return d.path, run_scenario(self, code, path=[d.path])

    def check_our_entry(self, directory, entries, next_entry_name):
        ours = [i for i, entry in enumerate(entries) if entry[0].startswith(directory)]
        self.assertEqual(len(ours), 1, entries)
        self.assertEqual(entries[ours[0]], [directory + "/smsline/__init__", 1, "<module smsline>"])
        if next_entry_name is not None:
            self.assertEqual(entries[ours[0] + 1][2], next_entry_name, entries)

    def test_failing_environment_lookup_fails_the_import_and_is_not_retried(self):
        directory, facts = self.run_failure("""
def on_get():
    raise LookupError('environment refused')
""")
        self.assertEqual(facts['error'], ['LookupError', 'environment refused'])
        self.check_our_entry(directory, facts['entries'], 'get')
        self.assertEqual(facts['keys'], ['__builtins__', '__doc__', '__file__', '__loader__', '__name__',
                                         '__package__', '__spec__'])
        self.assertEqual(facts['file'], directory + "/smsline/__init__")
        self.assertEqual((facts['package'], facts['loader'], facts['spec_name']),
                         ('smsline', 'tarvik_module_loader', 'smsline'))
        self.assertTrue(facts['module_was_the_failed_one'])
        self.assertTrue(facts['later_is_new'])
        self.assertFalse(facts['body_retried'])

    def test_missing_path_importer_cache_fails_at_the_package_entry(self):
        directory, facts = self.run_failure("""
saved_cache = []
def on_get():
    saved_cache.append(sys.path_importer_cache)
    del sys.path_importer_cache
""", cleanup="sys.path_importer_cache = saved_cache[0]")
        self.assertIn('path_importer_cache', facts['error'][1])
        self.check_our_entry(directory, facts['entries'], None)
        self.assertIn('__path__', facts['keys'])
        self.assertNotIn('__cached__', facts['keys'])
        self.assertFalse(facts['body_retried'])

    def test_inspect_not_importable_ends_the_process(self):
        result = run_python("""
import sys

class NoInspect(object):
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name == 'inspect':
            raise ImportError('inspect is not available here')
        return None

sys.meta_path.insert(0, NoInspect)
sys.modules.pop('inspect', None)
import smsline
print('import returned')
""", path=[EXTENSION_DIR], env=ENDS_INSIDE_IMPORT)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertNotIn('import returned', result.stdout)
        self.assertIn('ImportError: inspect is not available here', result.stderr)

    def test_builtins_are_found_without_importing_them(self):
        # An __import__ that refuses "builtins" does not matter; a missing
        # __import__ ends the process as a missing built-in does.
        for code, outcome in [("import inspect, types\noriginal = builtins.__import__\n"
                               "def refusing(name, *args):\n"
                               "    assert name != 'builtins'\n"
                               "    return original(name, *args)\n"
                               "builtins.__import__ = refusing\nimport smsline", 0),
                              ("del builtins.__import__\nimportlib.import_module('smsline')", 1)]:
            result = run_python("import builtins, importlib\n%s\nprint('imported')" % code, path=[EXTENSION_DIR],
                                env=ENDS_INSIDE_IMPORT)
            self.assertEqual((result.returncode, result.stdout), (outcome, "imported\n" * (1 - outcome)), result.stderr)
        self.assertIn("NameError: name '__import__' is not defined", result.stderr)

class RuntimeHookTests(unittest.TestCase):

    def test_isinstance_after_start_up_answers_as_the_original(self):
        code = """
import builtins, collections.abc, json, numbers, sys, types
original = builtins.isinstance

class Meta(type):
    def __instancecheck__(cls, obj):
        return obj == 'yes'

class Odd(metaclass=Meta):
    pass

class Failing(type):
    def __instancecheck__(cls, obj):
        raise KeyError('checked')

class Refuses(metaclass=Failing):
    pass

nested = int
for _ in range(50):
    nested = (str, nested)
cases = [
    (1, int), (1, str), (True, int), (1, ()), (1, (str, (float, (int,)))), (1, (str, (float,))),
    ([], collections.abc.Sequence), ({}, collections.abc.Sequence), (1.5, numbers.Number),
    ('yes', Odd), ('no', Odd), ('yes', (int, Odd)), (1, Refuses), (1, nested),
    (1, 5), (1, (str, 5)), (1, (int, 5)), ('x', [str]), (len, types.FunctionType),
    (lambda: 0, types.FunctionType), (print, types.BuiltinFunctionType), (int, type),
]

def outcome(function, *args, **kwargs):
    try:
        return ['value', function(*args, **kwargs)]
    except Exception as e:
        return ['error', type(e).__name__, str(e)]

expected = [outcome(original, *case) for case in cases]
import smsline.send_sms
hooked = builtins.isinstance
f = smsline.send_sms.send_sms
print(json.dumps({
    'replaced': hooked is not original and hooked.__name__ == 'isinstance',
    'mismatches': [[repr(case), want, got] for case, want, got in
                   zip(cases, expected, [outcome(hooked, *case) for case in cases]) if want != got],
    'argument_errors': [outcome(hooked), outcome(hooked, 1), outcome(hooked, 1, int, int),
                        outcome(hooked, 1, int, x=1), outcome(hooked, obj=1, class_or_tuple=int)],
    'function': [hooked(f, types.FunctionType), hooked(f, (int, (types.FunctionType,))),
                 hooked(f, int), type(f) == types.FunctionType, type(f) != types.FunctionType],
    'type_comparisons': [int == int, int != str, int == str, outcome(lambda: int < str)],
}))
"""
        facts = run_scenario(self, code, path=[EXTENSION_DIR])
        self.assertTrue(facts['replaced'])
        self.assertEqual(facts['mismatches'], [])
        self.assertEqual(facts['argument_errors'], [
            ['error', 'TypeError', 'isinstance expected 2 arguments, got 0'],
            ['error', 'TypeError', 'isinstance expected 2 arguments, got 1'],
            ['error', 'TypeError', 'isinstance expected 2 arguments, got 3'],
            ['error', 'TypeError', 'isinstance() takes no keyword arguments'],
            ['error', 'TypeError', 'isinstance() takes no keyword arguments'],
        ])
        self.assertEqual(facts['function'], [True, True, False, True, False])
        self.assertEqual(facts['type_comparisons'][:3], [True, True, False])
        self.assertEqual(facts['type_comparisons'][3][:2], ['error', 'TypeError'])

    def test_isinstance_installed_before_the_import_is_deferred_to(self):
        facts = run_scenario(self, """
import builtins, json, types
original, asked = builtins.isinstance, []
def users(obj, classes):
    asked.append(getattr(classes, '__name__', None))
    return 'yes' if original(obj, classes) else ''
builtins.isinstance = users
import smsline.send_sms
f, hook = smsline.send_sms.send_sms, builtins.isinstance
del asked[:]
answers = [hook(1, int), hook(1, str), hook(f, types.FunctionType), hook(f, (str, types.FunctionType)), hook(f, int)]
print(json.dumps([answers, asked[:]]))  # json asks isinstance too
""", path=[EXTENSION_DIR])
        # The user's answers as given; for our function, the function type is
        # the hook's own answer and every other class the user's.
        self.assertEqual(facts, [['yes', '', True, True, False], ['int', 'str', 'str', 'int']])

    def test_assigned_import_hook_is_what_the_submodule_imports_call(self):
        code = """
import builtins, json
import smsline
original = builtins.__import__
through_attribute, through_dict = [], []

def recording(log):
    def hook(name, globals=None, locals=None, fromlist=(), level=0):
        log.append([name, (globals or {}).get('__name__'), list(fromlist or ()), level])
        return original(name, globals, locals, fromlist, level)
    return hook

builtins.__import__ = recording(through_attribute)
# A change made in the dictionary alone reaches the interpreter's import
# statements but not the kept reference.
builtins.__dict__['__import__'] = recording(through_dict)
import smsline.send_sms
builtins.__import__ = original
builtins.other_name = 1
del builtins.other_name
print(json.dumps({'attribute': through_attribute, 'dict': through_dict,
                  'other_name_gone': not hasattr(builtins, 'other_name')}))
"""
        facts = run_scenario(self, code, path=[EXTENSION_DIR])
        # The submodule body's imports go through the assigned hook, and only they do.
        body_imports = facts['attribute']
        self.assertEqual({entry[1] for entry in body_imports}, {'smsline.send_sms'})
        self.assertEqual([entry[0] for entry in body_imports],
                         ['time', 'sys', 'glob', 'serial', 'gsmmodem.modem', 'smsline_gsm.modem'])
        self.assertEqual(body_imports[-1], ['smsline_gsm.modem', 'smsline.send_sms', ['GsmModem', 'SentSms'], 0])
        # The statement in __main__ went through the dictionary's entry.
        self.assertEqual([entry[0] for entry in facts['dict'] if entry[1] == '__main__'], ['smsline.send_sms'])
        # (__future__ is imported through the interpreter's PyImport_ImportModule,
        # which reads the dictionary's entry, with the globals of the running
        # frame: the body's where its frame is live.)
        if LIVE_FRAMES:
            self.assertEqual([entry[0] for entry in facts['dict'] if entry[1] == 'smsline.send_sms'], ['__future__'])
        else:
            self.assertIn('__future__', [entry[0] for entry in facts['dict']])
        self.assertTrue(facts['other_name_gone'])


# Tries smsline.send_sms twice in a sub-interpreter of the kind KIND, before
# or after the main interpreter imports it (ORDER); prints what the main
# interpreter had before and after, and what the sub-interpreter saw.  The
# kinds: the one embedders make (Py_NewInterpreter, sharing the interpreter
# lock), and the one the interpreters module makes (from 3.12 isolated, with
# a lock of its own).
SUB_INTERPRETER_SCENARIO = r"""
import importlib, json, sys, tempfile, _testcapi
for name in ('_interpreters', '_xxsubinterpreters'):
    try:
        interpreters = importlib.import_module(name)
        break
    except ImportError:
        pass
result = tempfile.NamedTemporaryFile('r')
IN_SUB = '''
import json, sys
seen = []
for attempt in range(2):
    try:
        import smsline.send_sms
    except BaseException as error:
        seen.append([type(error).__name__, str(error)])
seen.append([name for name in sys.modules if name.startswith('smsline')])
with open(%r, 'w') as out:
    json.dump(seen, out)
''' % result.name

def in_main():
    import smsline.send_sms as sms
    return [sms.send_sms.__module__, type(sys.modules['smsline'].__path__).__name__,
            importlib.import_module('smsline.send_sms') is sms, id(sys.modules['smsline'])]

before = in_main() if ORDER == 'main first' else None
if KIND == 'run_in_subinterp':
    _testcapi.run_in_subinterp(IN_SUB)
else:
    interpreter = interpreters.create()
    interpreters.run_string(interpreter, IN_SUB)
    interpreters.destroy(interpreter)
print(json.dumps([before, json.load(result), in_main()]))
"""


class SubInterpreterTests(unittest.TestCase):
    """The package's state is process-wide: only the main interpreter may import it."""

    def test_sub_interpreters_are_refused_in_either_order(self):
        kinds = ['run_in_subinterp'] + (['interpreters module'] if sys.version_info >= (3, 8) else [])
        with ExtensionDir() as d:
            for kind, order in itertools.product(kinds, ['sub first', 'main first']):
                with self.subTest(kind=kind, order=order):
                    before, sub, after = run_scenario(
                        self, 'KIND, ORDER = %r, %r\n' % (kind, order) + SUB_INTERPRETER_SCENARIO, path=[d.path])
                    # A clear refusal each time, nothing of the package left
                    # in the sub-interpreter, and the whole package in the
                    # main interpreter, the same before and after.
                    for error in sub[:2]:
                        self.assertEqual(error[0], 'ImportError')
                        self.assertIn('smsline does not support loading in subinterpreters', error[1])
                    self.assertEqual(sub[2:], [[]])
                    self.assertEqual(after[:3], ['smsline.send_sms', 'list', True])
                    self.assertEqual(before, after if order == 'main first' else None)


class ExportedSymbolTests(unittest.TestCase):

    @unittest.skipIf(shutil.which("nm") is None, "nm is not installed")
    def test_only_the_entry_point_is_exported(self):
        output = subprocess.check_output(["nm", "-D", "--defined-only", EXTENSION],
                                         universal_newlines=True)
        symbols = [line.split()[-1] for line in output.splitlines() if line.strip()]
        # The linker may add its own markers (_init, _fini, version nodes);
        # nothing else of ours may appear.
        ours = [s for s in symbols if s not in ("_init", "_fini", "_edata", "_end", "__bss_start")
                and not s.startswith("VERS_")]
        self.assertEqual(ours, ["PyInit_smsline"])


if __name__ == "__main__":
    unittest.main()
