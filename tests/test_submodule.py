"""smsline.send_sms as a module: its globals, its function objects, and failures of its body."""
import builtins
import inspect
import pickle
import io
import json
import os
import pydoc
import sys
import textwrap
import types
import unittest

import smsline.send_sms as send_sms_module
from smsline_gsm import modem as gsm_modem_module
from tests import support
from tests.fakes import bound_globals

SERIAL_PORTS_DOC = ("Lists serial port names\n"
                    "\n"
                    "    :raises EnvironmentError:\n"
                    "        On unsupported or unknown platforms\n"
                    "    :returns:\n"
                    "        A list of the serial ports available on the system\n"
                    "    ")
SEND_SMS_DOC = ("Sends an sms and returns the sent sms status "
                "( one of SentSms.ENROUTE, SentSms.DELIVERED, SentSms.FAILED )")
MODULE_CODE_NAME = "<module smsline.send_sms>"


# Interpreter functions of the same signatures, to compare behaviour against.
def serial_ports():
    pass


def send_sms(phone_number: str, text: str) -> int:
    pass


def expected_file():
    import smsline
    return os.path.dirname(smsline.__file__) + "/smsline/send_sms.py"


def call_error(function, args=(), kwargs=None):
    kwargs = kwargs or {}
    try:
        function(*args, **kwargs)
    except TypeError as error:
        return str(error)
    raise AssertionError("no TypeError from %r" % (function,))


class ModuleGlobalsTest(unittest.TestCase):

    def test_attributes_after_import(self):
        m = send_sms_module
        self.assertEqual(m.BAUDRATE, 115200)
        self.assertIsNone(m.PIN)
        self.assertIs(m.GsmModem, gsm_modem_module.GsmModem)
        self.assertIs(m.SentSms, gsm_modem_module.SentSms)
        self.assertEqual(m.__file__, expected_file())
        self.assertEqual(m.__name__, "smsline.send_sms")
        self.assertEqual(m.__package__, "smsline")
        self.assertIsNone(m.__doc__)
        self.assertIsNone(m.__cached__)
        self.assertIs(m.__builtins__, builtins.__dict__)
        self.assertIsInstance(m.__loader__, type)  # the loader type itself
        self.assertEqual(m.__loader__.__name__, "tarvik_module_loader")
        self.assertEqual(m.__spec__.name, "smsline.send_sms")
        self.assertEqual(m.__spec__.origin, m.__file__)
        self.assertTrue(m.__spec__.has_location)
        self.assertFalse(m.__spec__._initializing)

        import __future__
        import glob
        import serial
        import time
        self.assertIs(m.print_function, __future__.print_function)
        self.assertIs(m.time, time)
        self.assertIs(m.sys, sys)
        self.assertIs(m.glob, glob)
        self.assertIs(m.serial, serial)
        self.assertIs(sys.modules["smsline.send_sms"], m)

    def test_function_objects(self):
        m = send_sms_module
        for function, name, first_line, varnames, argcount in (
                # From 3.12 the comprehension's `i` is a local of serial_ports (PEP 709).
                (m.serial_ports, "serial_ports", 15,
                 ("i",) * (sys.version_info >= (3, 12)) + ("ports", "result", "port", "s"), 0),
                (m.send_sms, "send_sms", 45, ("phone_number", "text", "sentSms", "modem", "port"), 2)):
            self.assertEqual(function.__name__, name)
            self.assertEqual(function.__qualname__, name)
            code = function.__code__
            self.assertEqual(code.co_name, name)
            self.assertEqual(code.co_filename, m.__file__)
            self.assertEqual(code.co_firstlineno, first_line)
            self.assertEqual(code.co_varnames, varnames)
            self.assertEqual(code.co_argcount, argcount)
            self.assertEqual(code.co_kwonlyargcount, 0)
            # CO_NOFREE (0x40) is derived, not a flag, from 3.11.
            self.assertEqual(code.co_flags, 0x43 if sys.version_info < (3, 11) else 0x3)
            self.assertIsNone(function.__defaults__)
            self.assertIsNone(function.__kwdefaults__)
            self.assertIs(function.__globals__, m.__dict__)
            self.assertEqual(function.__module__, "smsline.send_sms")
        self.assertEqual(m.serial_ports.__doc__, SERIAL_PORTS_DOC)
        self.assertEqual(m.send_sms.__doc__, SEND_SMS_DOC)

        # __module__ follows the module's current __name__.
        namespace = m.__dict__
        try:
            namespace["__name__"] = "renamed"
            self.assertEqual(m.serial_ports.__module__, "renamed")
            self.assertEqual(m.send_sms.__module__, "renamed")
        finally:
            namespace["__name__"] = "smsline.send_sms"
        self.assertEqual(m.send_sms.__module__, "smsline.send_sms")

    def test_annotations(self):
        m = send_sms_module
        annotations = m.send_sms.__annotations__
        self.assertEqual(annotations, {"phone_number": str, "text": str, "return": int})
        self.assertIs(m.send_sms.__annotations__, annotations)
        # The function's dictionary is its own: changing it changes the
        # function's signature and nothing else.
        try:
            annotations["text"] = bytes
            del annotations["return"]
            signature = inspect.signature(m.send_sms)
            self.assertIs(signature.parameters["text"].annotation, bytes)
            self.assertIs(signature.return_annotation, inspect.Signature.empty)
        finally:
            annotations["text"] = str
            annotations["return"] = int

        # serial_ports has none until read; the empty dictionary made then is kept.
        first = m.serial_ports.__annotations__
        self.assertEqual(first, {})
        self.assertIs(m.serial_ports.__annotations__, first)


class ArgumentBindingTest(unittest.TestCase):

    def test_errors_are_the_interpreters(self):
        m = send_sms_module
        cases = [
            ("serial_ports", (1,), {}),
            ("serial_ports", (1, 2), {}),
            ("serial_ports", (), {"x": 1}),
            ("send_sms", (1, 2, 3), {}),
            ("send_sms", (1, 2, 3, 4), {}),
            ("send_sms", (), {}),
            ("send_sms", (1,), {}),
            ("send_sms", (), {"text": 1}),
            ("send_sms", (), {"phone_number": 1}),
            ("send_sms", (1, 2), {"extra": 3}),
            ("send_sms", (1,), {"phone_number": 2}),
            ("send_sms", (1, 2, 3), {"text": 4}),
            ("send_sms", (1, 2), {1: 2}),
            ("send_sms", (), {1: 2}),
        ]
        plain = {"serial_ports": serial_ports, "send_sms": send_sms}
        for name, args, kwargs in cases:
            with self.subTest(name=name, args=args, kwargs=kwargs):
                expected = call_error(plain[name], args, kwargs)
                self.assertEqual(call_error(getattr(m, name), args, kwargs), expected)

    def test_keyword_arguments_bind(self):
        m = send_sms_module
        # With no ports the call gets as far as its "not found" failure,
        # whichever way the arguments were given.
        with bound_globals(m, serial_ports=lambda: []):
            for args, kwargs in (((), {"text": "t", "phone_number": "p"}), (("p",), {"text": "t"}),
                                 (("p", "t"), {})):
                with self.assertRaises(Exception) as caught:
                    m.send_sms(*args, **kwargs)
                self.assertEqual(caught.exception.args, ("Gsm Device Not Found",))


class IntrospectionTest(unittest.TestCase):

    def test_functions_pass_as_interpreter_functions(self):
        m = send_sms_module
        self.assertTrue(inspect.isfunction(m.send_sms))
        self.assertTrue(inspect.isfunction(m.serial_ports))
        self.assertEqual(inspect.signature(m.send_sms), inspect.signature(send_sms))
        self.assertEqual(str(inspect.signature(m.send_sms)), str(inspect.signature(send_sms)))
        self.assertEqual(inspect.signature(m.serial_ports), inspect.signature(serial_ports))

        self.assertTrue(type(m.send_sms) == types.FunctionType)
        self.assertFalse(type(m.send_sms) != types.FunctionType)
        self.assertTrue(isinstance(m.send_sms, types.FunctionType))
        self.assertTrue(isinstance(m.send_sms, (int, (str, types.FunctionType))))
        self.assertFalse(isinstance(m.send_sms, int))
        self.assertTrue(callable(m.send_sms))
        self.assertRegex(repr(m.send_sms), r"^<function send_sms at 0x[0-9a-f]+>$")
        # Ordinary objects answer as before.
        self.assertTrue(isinstance(send_sms, types.FunctionType))
        self.assertFalse(isinstance(len, types.FunctionType))
        self.assertTrue(isinstance(1, int))
        self.assertFalse(isinstance("x", (int, bytes)))
        self.assertFalse(type(len) == types.FunctionType)
        self.assertTrue(type(len) != types.FunctionType)
        self.assertTrue(type(1) == int)
        with self.assertRaises(TypeError):
            isinstance(1, 2)
        # Pickled by reference, like module-level interpreter functions.
        for function in (m.send_sms, m.serial_ports):
            self.assertIs(pickle.loads(pickle.dumps(function)), function)

    def test_pydoc_shows_both_functions(self):
        m = send_sms_module
        twins = {}
        for ours, plain in ((m.send_sms, send_sms), (m.serial_ports, serial_ports)):
            with self.subTest(function=ours.__name__):
                twin = twins[ours.__name__] = types.FunctionType(plain.__code__, plain.__globals__, ours.__name__)
                twin.__doc__ = ours.__doc__
                twin.__module__ = ours.__module__
                twin.__annotations__ = dict(ours.__annotations__)
                self.assertEqual(pydoc.plaintext.document(ours), pydoc.plaintext.document(twin))

        text = pydoc.plain(pydoc.render_doc(m))
        self.assertIn("FUNCTIONS", text)
        # "(phone_number:str, text:str) -> int" on 3.6, with a space after each colon from 3.7.
        heading = "send_sms%s" % inspect.signature(twins["send_sms"])
        self.assertIn(heading, text)
        self.assertIn("serial_ports()\n        Lists serial port names", text)
        self.assertIn("Sends an sms and returns the sent sms status", text)
        self.assertIn("BAUDRATE = 115200", text)
        output = io.StringIO()
        pydoc.Helper(output=output).help(m.send_sms)
        self.assertIn(heading, pydoc.plain(output.getvalue()))

    def test_bound_method_through_a_class(self):
        m = send_sms_module

        class Holder(object):
            probe = m.serial_ports
            send = m.send_sms

        class PlainHolder(object):
            probe = serial_ports

        holder = Holder()
        self.assertIs(Holder.probe, m.serial_ports)
        self.assertIs(holder.probe.__func__, m.serial_ports)
        self.assertIs(holder.probe.__self__, holder)
        self.assertEqual(call_error(holder.probe), call_error(PlainHolder().probe))
        # The instance binds to phone_number.
        with bound_globals(m, serial_ports=lambda: []):
            try:
                holder.send("text")
            except Exception as error:
                caught = error
            self.assertEqual(caught.args, ("Gsm Device Not Found",))
            self.assertEqual(caught.__traceback__.tb_next.tb_frame.f_locals,
                             {"phone_number": holder, "text": "text", "modem": None})


# Runs in the fresh interpreters: helpers that report what happened as JSON.
CHILD_PRELUDE = """
import json, os, sys, traceback
def entries(tb):
    return [[f.name, f.filename, f.lineno] for f in traceback.extract_tb(tb)]
def describe(error):
    return {"type": type(error).__name__, "message": str(error),
            "entries": entries(error.__traceback__),
            "context": error.__context__ is not None, "cause": error.__cause__ is not None}
def report(**facts):
    print("REPORT " + json.dumps(facts))
import smsline
assert smsline.__file__ == %r, smsline.__file__
FILE = os.path.dirname(smsline.__file__) + "/smsline/send_sms.py"
""" % support.EXTENSION


def run_child(testcase, code, setup=""):
    result = support.run_python(CHILD_PRELUDE + setup + "\n" + textwrap.dedent(code),
                                path=[os.path.dirname(support.EXTENSION)])
    lines = [line for line in result.stdout.splitlines() if line.startswith("REPORT ")]
    testcase.assertEqual(len(lines), 1, result.stdout + result.stderr)
    return json.loads(lines[0][len("REPORT "):])


class BodyFailureTest(unittest.TestCase):
    """A failing statement of the submodule body, each in a fresh interpreter."""

    def check_failure(self, facts, line, tail):
        """Our module entry is there once, at `line`, followed only by `tail` (function names)."""
        entries = facts["entries"]
        ours = [i for i, entry in enumerate(entries) if entry[0] == MODULE_CODE_NAME]
        self.assertEqual(len(ours), 1, entries)
        index = ours[0]
        self.assertEqual(entries[index][1], facts["file"])
        self.assertEqual(entries[index][2], line)
        self.assertEqual([entry[0] for entry in entries[index + 1:]], tail)

    def test_refused_imports_fail_at_their_lines(self):
        for target, line in (("time", 2), ("sys", 3), ("glob", 4), ("serial", 6), ("gsmmodem.modem", 7)):
            with self.subTest(target=target):
                facts = run_child(self, """
                    import builtins
                    real_import = builtins.__import__
                    def refuse(name, *args, **kwargs):
                        if name == %r:
                            raise RuntimeError("refused " + name)
                        return real_import(name, *args, **kwargs)
                    builtins.__import__ = refuse
                    try:
                        import smsline.send_sms
                    except BaseException as error:
                        builtins.__import__ = real_import  # 3.13's linecache imports sys
                        report(file=FILE, in_modules="smsline.send_sms" in sys.modules, **describe(error))
                    """ % target)
                self.assertEqual(facts["type"], "RuntimeError")
                self.assertEqual(facts["message"], "refused " + target)
                self.check_failure(facts, line, ["refuse"])
                self.assertFalse(facts["in_modules"])

    @support.needs_live_frames
    def test_imports_go_through_builtins_import_from_the_module_frame(self):
        facts = run_child(self, """
            import builtins
            real_import = builtins.__import__
            seen = []
            spec_seen = []
            def watch(name, globals=None, locals=None, fromlist=(), level=0):
                module = sys.modules.get("smsline.send_sms")
                if module is not None and globals is module.__dict__:
                    if not spec_seen:
                        spec = module.__spec__
                        spec_seen.extend([spec._initializing, spec.origin == FILE, spec.has_location])
                    caller = sys._getframe(1)
                    seen.append([name, locals is None, locals is globals,
                                 fromlist if fromlist is None or isinstance(fromlist, tuple) else list(fromlist),
                                 level, caller.f_code.co_name, caller.f_lineno, caller.f_globals is globals])
                return real_import(name, globals, locals, fromlist, level)
            builtins.__import__ = watch
            import smsline.send_sms
            names = list(vars(smsline.send_sms))
            report(seen=seen, spec_seen=spec_seen, order=names[names.index("__cached__"):])
            """)
        # __future__ is imported through the import C API, which passes the
        # current globals as locals too and an empty from-list.
        self.assertEqual(facts["seen"], [
            ["__future__", False, True, [], 0, MODULE_CODE_NAME, 1, True],
            ["time", True, False, None, 0, MODULE_CODE_NAME, 2, True],
            ["sys", True, False, None, 0, MODULE_CODE_NAME, 3, True],
            ["glob", True, False, None, 0, MODULE_CODE_NAME, 4, True],
            ["serial", True, False, None, 0, MODULE_CODE_NAME, 6, True],
            ["gsmmodem.modem", True, False, ["GsmModem", "SentSms"], 0, MODULE_CODE_NAME, 7, True],
            # No gsmmodem is installed here: smsline's own library instead.
            ["smsline_gsm.modem", True, False, ["GsmModem", "SentSms"], 0, MODULE_CODE_NAME, 8, True],
        ])
        # The module spec is complete before the first import, and still marked as initialising.
        self.assertEqual(facts["spec_seen"], [True, True, True])
        self.assertEqual(facts["order"], ["__cached__", "print_function", "time", "sys", "glob", "serial",
                                          "GsmModem", "SentSms", "BAUDRATE", "PIN", "serial_ports", "send_sms"])

    def test_future_import_failure_is_line_1(self):
        facts = run_child(self, """
            class Refuse(object):
                @staticmethod
                def find_spec(name, path=None, target=None):
                    if name == "__future__":
                        raise ImportError("no __future__ today")
                    return None
            sys.modules.pop("__future__", None)
            sys.meta_path.insert(0, Refuse)
            try:
                import smsline.send_sms
            except ImportError as error:
                report(file=FILE, **describe(error))
            """)
        self.assertEqual(facts["type"], "ImportError")
        self.assertEqual(facts["message"], "no __future__ today")
        self.check_failure(facts, 1, ["find_spec"])

        # A spec that refuses has_location also fails the body at line 1.
        facts = run_child(self, """
            import importlib._bootstrap as bootstrap
            real_spec_from_module = bootstrap._spec_from_module
            class Stubborn(object):
                def __init__(self, spec):
                    object.__setattr__(self, "spec", spec)
                def __getattr__(self, name):
                    return getattr(self.spec, name)
                def __setattr__(self, name, value):
                    if name == "has_location":
                        raise AttributeError("has_location is fixed here")
                    setattr(self.spec, name, value)
            bootstrap._spec_from_module = lambda module, *rest: Stubborn(real_spec_from_module(module, *rest))
            try:
                import smsline.send_sms
            except AttributeError as error:
                report(file=FILE, **describe(error))
            """)
        self.assertEqual(facts["message"], "has_location is fixed here")
        self.check_failure(facts, 1, ["__setattr__"])

    def test_serial_missing_then_second_import(self):
        facts = run_child(self, """
            import builtins
            kept_path = list(sys.path)
            sys.path[:] = [p for p in sys.path if "site-packages" not in p]
            real_import = builtins.__import__
            filled = []
            def grab(name, *args, **kwargs):
                if name == "serial" and not filled:
                    filled.append(sys.modules["smsline.send_sms"])
                return real_import(name, *args, **kwargs)
            builtins.__import__ = grab
            try:
                import smsline.send_sms
            except ImportError as error:
                first = describe(error)
            module = filled[0]
            import __future__, time, glob
            names = {name: name in vars(module) for name in
                     ("__file__", "print_function", "time", "sys", "glob", "serial", "GsmModem", "BAUDRATE",
                      "serial_ports", "send_sms")}
            bindings = [module.__file__ == FILE, module.print_function is __future__.print_function,
                        module.time is time, module.sys is sys, module.glob is glob]

            # With the library back, the submodule still cannot start again;
            # the refusal stands alone even while another exception is handled.
            sys.path[:] = kept_path
            import serial
            try:
                raise KeyError("being handled")
            except KeyError:
                try:
                    import smsline.send_sms
                except ImportError as error:
                    second = describe(error)
            report(file=FILE, first=first, second=second, names=names, bindings=bindings,
                   in_modules="smsline.send_sms" in sys.modules)
            """)
        first = facts["first"]
        first["file"] = facts["file"]
        self.assertEqual(first["type"], "ModuleNotFoundError")
        self.assertEqual(first["message"], "No module named 'serial'")
        self.check_failure(first, 6, ["grab"])
        self.assertEqual(facts["names"], {"__file__": True, "print_function": True, "time": True, "sys": True,
                                          "glob": True, "serial": False, "GsmModem": False, "BAUDRATE": False,
                                          "serial_ports": False, "send_sms": False})
        self.assertEqual(facts["bindings"], [True] * 5)
        second = facts["second"]
        self.assertEqual(second["type"], "ImportError")
        self.assertTrue(second["message"].startswith(
            "module 'smsline.send_sms' failed to initialise earlier in this process"), second["message"])
        self.assertFalse(second["context"])
        self.assertFalse(second["cause"])
        self.assertFalse(facts["in_modules"])

    def test_modem_library_choice(self):
        """Line 7 takes a gsmmodem installed beside smsline; line 8, only when no
        gsmmodem is found at all, smsline_gsm.  The twin chooses alike."""
        modem = "class GsmModem(object): pass\nclass SentSms(object): pass\n"
        hide_ours = ("import serial\n"
                     "sys.path[:] = [p for p in sys.path\n"
                     "               if os.path.abspath(p) != %r and 'site-packages' not in p]" % support.PYTHON_DIR)
        ours, theirs = "smsline_gsm.modem", "gsmmodem.modem"
        scenarios = [  # label, stand-in gsmmodem's files, more set-up, library or (error, message, line), bound
            ("none installed", None, "", ours, ["GsmModem", "SentSms"]),
            ("installed", {"modem.py": modem}, "", theirs, ["GsmModem", "SentSms"]),
            ("blocked in sys.modules", None, "sys.modules['gsmmodem'] = None", ours, ["GsmModem", "SentSms"]),
            ("no modem submodule", {}, "",
             ("ModuleNotFoundError", "No module named 'gsmmodem.modem'", 7), []),
            ("an import of its own missing", {"modem.py": "import gsmmodem_transport\n" + modem}, "",
             ("ModuleNotFoundError", "No module named 'gsmmodem_transport'", 7), []),
            ("no GsmModem", {"modem.py": "class SentSms(object): pass\n"}, "",
             ("ImportError", "cannot import name 'GsmModem'", 7), []),
            ("no SentSms", {"modem.py": "class GsmModem(object): pass\n"}, "",
             ("ImportError", "cannot import name 'SentSms'", 7), ["GsmModem"]),
            ("neither library", None, hide_ours,
             ("ModuleNotFoundError", "No module named 'smsline_gsm'", 8), []),
        ]
        twin = os.path.join(support.ROOT, "smsline", "send_sms.py")
        for label, files, setup, expected, bound in scenarios:
            for target in ("extension", "twin"):
                with self.subTest(label, target=target):
                    facts = run_child(self, setup=setup, code="""
                        import builtins, importlib.util, tempfile
                        files, filled = %r, []
                        if files is not None:
                            stand_in = os.path.join(tempfile.mkdtemp(), "gsmmodem")
                            os.mkdir(stand_in)
                            for name, text in dict(files, **{"__init__.py": ""}).items():
                                with open(os.path.join(stand_in, name), "w") as handle:
                                    handle.write(text)
                            sys.path.insert(0, os.path.dirname(stand_in))
                        finders = len(sys.meta_path)
                        if %r == "twin":
                            spec = importlib.util.spec_from_file_location("twin", %r)
                            module, file, body = importlib.util.module_from_spec(spec), spec.origin, "<module>"
                            run = lambda: spec.loader.exec_module(module)
                        else:
                            module, file, body = None, FILE, %r
                            run = lambda: __import__("smsline.send_sms")
                            real_import = builtins.__import__
                            def grab(name, *args):  # the module being filled, which a failure drops
                                filled.append(sys.modules.get("smsline.send_sms"))
                                return real_import(name, *args)
                            builtins.__import__ = grab
                        try:
                            run()
                            module = module or sys.modules["smsline.send_sms"]
                            outcome = module.GsmModem.__module__
                            assert module.SentSms.__module__ == outcome
                            context = False
                        except ImportError as error:
                            module = module or filled[-1]
                            lines = [entry[2] for entry in entries(error.__traceback__)
                                     if entry[:2] == [body, file]]
                            # (the interpreter's own text names the module from 3.7)
                            outcome = [type(error).__name__, str(error).split(" from '")[0]] + lines
                            context = error.__context__ is not None
                        bound = [] if module is None else [n for n in ("GsmModem", "SentSms") if n in vars(module)]
                        report(outcome=outcome, bound=bound, context=context,
                               finders_added=len(sys.meta_path) - finders,
                               aliases=[n for n in sys.modules if n.split(".")[0] == "gsmmodem"
                                        and sys.modules[n] is not None and files is None])
                        """ % (files, target, twin, MODULE_CODE_NAME))
                    self.assertEqual(facts["outcome"], expected if isinstance(expected, str) else list(expected))
                    # Nothing else is changed: no finder added, no gsmmodem made up,
                    # and a failure is the import's own, not chained to another.
                    self.assertEqual((facts["finders_added"], facts["aliases"], facts["context"]), (0, [], False))
                    self.assertEqual(facts["bound"], bound)

    def test_reload_and_second_load_change_nothing(self):
        facts = run_child(self, """
            import importlib
            import smsline.send_sms as m
            m.BAUDRATE, m.PIN, m.serial = 9600, "1234", "rebound"
            before = dict(vars(m))
            reloaded = importlib.reload(m)
            # The import system itself puts the finder's spec and its parent
            # on a reloaded module; the module body adds nothing.
            changed = sorted(k for k in set(before) | set(vars(m)) if vars(m).get(k) is not before.get(k))
            loaded = m.__loader__.load_module("smsline.send_sms")
            changed_by_load = sorted(k for k in set(before) | set(vars(m))
                                     if vars(m).get(k) is not before.get(k) and k not in changed)
            report(same=reloaded is m, loaded=loaded is m, kept=sys.modules["smsline.send_sms"] is m,
                   changed=changed, changed_by_load=changed_by_load,
                   values=[m.BAUDRATE, m.PIN, m.serial])
            """)
        self.assertEqual(facts, {"same": True, "loaded": True, "kept": True, "changed": ["__package__", "__spec__"],
                                 "changed_by_load": [], "values": [9600, "1234", "rebound"]})

    def test_new_module_object_gets_the_first_module_back(self):
        facts = run_child(self, """
            import importlib
            import smsline.send_sms as first
            del sys.modules["smsline.send_sms"]
            again = importlib.import_module("smsline.send_sms")
            report(same=again is first, kept=sys.modules["smsline.send_sms"] is first,
                   attribute=smsline.send_sms is first, functions=again.serial_ports.__globals__ is vars(first))
            """)
        self.assertEqual(facts, {"same": True, "kept": True, "attribute": True, "functions": True})


if __name__ == "__main__":
    unittest.main()
