"""Bad input: odd arguments, odd module names, hostile package directories and a modem that talks nonsense.

Nothing of it may crash the interpreter or leave an exception set: the
functions take any arguments and bind them as the interpreter would, the
loader answers every name (or refuses it with the interpreter's own error),
and the modem library, fed garbage, partial replies, binary noise, silence
or a port that hangs up by the simulator, raises only its own exceptions
(or serial's SerialException for a port that is gone).
"""
import gc
import os
import shutil
import stat
import sys
import tempfile
import textwrap
import threading
import types
import unittest

import serial

import smsline
import smsline.send_sms as sms
from smsline_gsm.exceptions import GsmModemException
from smsline_gsm.modem import GsmModem
from smsline_tools.modem_sim import ModemSimulator

from tests import support
from tests.reliability import Failure, World, call, recorded_locals

serial_ports, send_sms = sms.serial_ports, sms.send_sms
SUFFIX = support.EXT_SUFFIX


class Loud(object):
    """An argument every one of whose special methods fails."""

    def _fail(self, *args):
        raise Failure("touched")
    __eq__ = __hash__ = __repr__ = __str__ = __format__ = __bool__ = __len__ = __iter__ = _fail
    __getattr__ = _fail


class Text(str):
    pass


def reference_functions():
    """Interpreter functions with the same signatures, for the interpreter's own messages."""
    namespace = {}
    exec("def send_sms(phone_number, text):\n    return phone_number, text\n"
         "def serial_ports():\n    return []\n", namespace)
    return namespace["send_sms"], namespace["serial_ports"]


class ArgumentTests(unittest.TestCase):

    def test_binding_matches_the_interpreter(self):
        reference_send, reference_ports = reference_functions()
        world = World(ports=["p1"])
        undo = world.bind()
        try:
            shapes = [((), {}), ((1,), {}), ((1, 2, 3), {}), (tuple(range(300)), {}),
                      ((), {"text": 2}), ((), {"phone_number": 1}), ((1,), {"phone_number": 2}),
                      ((1, 2), {"text": 3}), ((1, 2), {"x": 3}), ((), {"phone_number": 1, "text": 2, "y": 0}),
                      ((), {"phone_number": 1, "text": 2}), ((1,), {"text": 2}), ((), {1: 2}),
                      ((), {Text("text"): 2, "phone_number": 1}), ((1, 2, 3), {"phone_number": 4}),
                      ((), {"text" * 1000: 1}), ((), {"x": 1, 2: 3})]
            for args, kwargs in shapes:
                with self.subTest(args=args[:4], kwargs=kwargs):
                    expected, expected_error = call(lambda: reference_send(*args, **kwargs))
                    del world.sent[:]
                    result, error = call(lambda: send_sms(*args, **kwargs))
                    if expected_error is None:
                        self.assertIsNone(error)
                        self.assertEqual(world.sent[0][:2], expected)
                        self.assertIs(world.sent[0][0], expected[0])
                        self.assertIs(world.sent[0][1], expected[1])
                    else:
                        self.assertIs(type(error), type(expected_error))
                        self.assertEqual(str(error), str(expected_error))
                        self.assertEqual(world.sent, [])
            for args, kwargs in [((1,), {}), ((1, 2), {}), ((), {"x": 1}), ((), {1: 1}), ((None,), {"a": 1})]:
                with self.subTest(function="serial_ports", args=args, kwargs=kwargs):
                    expected_error = call(lambda: reference_ports(*args, **kwargs))[1]
                    error = call(lambda: serial_ports(*args, **kwargs))[1]
                    self.assertIs(type(error), TypeError)
                    self.assertEqual(str(error), str(expected_error))
        finally:
            undo()

    def test_arguments_of_every_kind_pass_through_unchanged(self):
        values = [None, 0, -1, 2 ** 200, float("nan"), 1e308, "", "x" * (1 << 20), "\udcff\x00",
                  b"bytes", bytearray(b"\x00\xff"), [], {}, (), object(), Loud(), Text("+1555"), type,
                  print, Failure("an exception as argument"), iter([]), sys, Ellipsis, NotImplemented]
        world = World(ports=["p1"])
        undo = world.bind()
        try:
            for value in values:
                with self.subTest(kind=type(value).__name__):
                    del world.sent[:]
                    self.assertEqual(send_sms(value, value), 0)
                    self.assertIs(world.sent[0][0], value)
                    self.assertIs(world.sent[0][1], value)
                    # A failed call records them, unchanged, in its frame.
                    world.faults["sendSms"] = Failure("refused")
                    error = call(send_sms, value, Loud())[1]
                    del world.faults["sendSms"]
                    recorded = recorded_locals(error, "send_sms")
                    self.assertIs(recorded["phone_number"], value)
                    self.assertIsInstance(recorded["text"], Loud)
                    del error, recorded
        finally:
            undo()


class ReentryTests(unittest.TestCase):
    """Stand-ins that call back into the functions, without end: the interpreter's recursion limit stops them."""

    def test_endless_reentry(self):
        world = World(ports=["p1"])
        undo = world.bind(own_serial_ports=False)
        # The collector stays off while the stack is at the recursion limit:
        # a weak-reference callback it ran there (a thread object of an
        # earlier test dying) would itself overflow, and the interpreter
        # ends the process when error reporting goes deeper still.
        gc.collect()
        gc.disable()
        try:
            world.glob.glob = lambda pattern: serial_ports()
            error = call(serial_ports)[1]
            self.assertIsInstance(error, RecursionError)
            world.glob.glob = world._glob
            sms.serial_ports = lambda: send_sms("+1555", "again")
            error = call(send_sms, "+1555", "text")[1]
            self.assertIsInstance(error, RecursionError)
            del error
            sms.serial_ports = world.serial_ports
            self.assertEqual(send_sms("+1555", "text"), 0)
            self.assertEqual(serial_ports(), world.candidates)
        finally:
            gc.enable()
            undo()
        self.assertEqual([modem.closed for modem in world.modems], [1])

    def test_reentry_at_any_recursion_limit_ends_in_recursion_error(self):
        # Each level of re-entry takes C stack, which an interpreted
        # function on 3.11 and later does not: with the limit raised far
        # beyond what the stack holds, on the main thread and on a thread
        # with a small stack, the calls must end in RecursionError, never
        # in a crash, and the next call must work.
        code = """
            import sys, threading
            import smsline.send_sms as sms
            levels, outcome = [], []
            def again():
                levels.append(None)
                return sms.send_sms("+1555", "again")
            def run():
                sms.serial_ports = again
                sys.setrecursionlimit(10 ** 6)
                try:
                    sms.send_sms("+1555", "text")
                except RecursionError:
                    outcome.append(len(levels))
                sys.setrecursionlimit(1000)
                sms.serial_ports = lambda: []
                try:
                    sms.send_sms("+1555", "text")
                except Exception as error:
                    outcome.append(str(error))
            if STACK:
                threading.stack_size(STACK)
                thread = threading.Thread(target=run)
                thread.start()
                thread.join()
            else:
                run()
            print(outcome)
            """
        for stack in (0, 512 * 1024):
            with self.subTest(thread_stack=stack or "main thread"):
                done = support.run_python("STACK = %d\n" % stack + textwrap.dedent(code),
                                          path=[os.path.dirname(support.EXTENSION)])
                self.assertEqual(done.returncode, 0, done.stderr[-2000:])
                depth, after = eval(done.stdout)
                self.assertGreater(depth, 10)
                self.assertEqual(after, "Gsm Device Not Found")

    def test_calls_give_back_every_recursion_level(self):
        # Each call the functions make takes a level of the interpreter's
        # recursion count and gives it back: one level kept per call would
        # use up the limit within these calls, and the recursion after them.
        world = World(record=False)
        undo = world.bind()
        try:
            for _ in range(sys.getrecursionlimit()):
                self.assertEqual(serial_ports(), world.candidates)
                self.assertEqual(send_sms("+1555", "text"), 0)
        finally:
            undo()

        def descend(levels):
            return levels if levels == 0 else descend(levels - 1)
        self.assertEqual(descend(sys.getrecursionlimit() - 50), 0)


class LoaderNameTests(unittest.TestCase):

    def setUp(self):
        self.loader = sms.__loader__
        self.instance = sys.path_importer_cache[smsline.__path__[0]]

    def test_names_that_are_not_text(self):
        for name in (5, None, b"smsline", bytearray(b"smsline"), object(), ["smsline"]):
            for method in (self.loader.find_spec, self.loader.find_module, self.loader.is_package,
                           self.loader.load_module):
                with self.subTest(name=repr(name), method=method.__name__):
                    error = call(method, name)[1]
                    self.assertIs(type(error), TypeError)
                    self.assertEqual(str(error), "bad argument type for built-in operation")
        for method in (self.loader.find_spec, self.loader.load_module, self.loader.is_package):
            error = call(method, "smsline.\udcff")[1]
            self.assertIsInstance(error, UnicodeEncodeError)
        # A str subclass is text.
        self.assertEqual(self.loader.find_spec(Text("smsline.send_sms")).name, "smsline.send_sms")
        self.assertTrue(self.loader.is_package(Text("smsline")))

    def test_names_with_a_nul_character_stand_for_nothing(self):
        saved = dict(sys.modules)
        try:
            for name in ("smsline\x00.send_sms", "smsline.send_sms\x00", "smsline\x00", "\x00", "smsline.\x00x"):
                with self.subTest(name=name):
                    self.assertIsNone(self.loader.find_spec(name))
                    self.assertIsNone(self.loader.find_module(name))
                    self.assertIsNone(self.loader.is_package(name))
                    self.assertIsNone(self.loader.load_module(name))
                    self.assertIsNone(self.loader.exec_module(types.ModuleType(name)))
                    self.assertNotIn(name, sys.modules)
        finally:
            sys.modules.update(saved)
        self.assertIs(sys.modules["smsline"], smsline)

    def test_absurdly_long_names(self):
        long_part = "x" * (1 << 20)
        for name in (long_part, "smsline." + long_part, "smsline.send_sms." + long_part, long_part + ".smsline"):
            with self.subTest(length=len(name), start=name[:16]):
                self.assertIsNone(self.loader.find_spec(name))
                self.assertIsNone(self.loader.find_module(name))
                self.assertIsNone(self.loader.is_package(name))
                self.assertIsNone(self.loader.load_module(name))
                self.assertIsNone(self.loader.exec_module(types.ModuleType(name)))
        listed = self.instance.iter_modules(long_part)
        self.assertEqual(listed, [(long_part + "send_sms", False)])
        module = types.ModuleType("smsline." + long_part)
        module.__file__ = long_part
        self.assertEqual(self.loader.module_repr(module), "<module %r from %r>" % (module.__name__, long_part))

    def test_other_odd_arguments(self):
        self.assertIsInstance(call(self.loader.create_module, object())[1], AttributeError)
        self.assertIsInstance(call(self.loader.exec_module, object())[1], AttributeError)
        self.assertIsInstance(call(self.loader.module_repr, object())[1], TypeError)
        self.assertIsInstance(call(self.loader.get_data, 5.5)[1], TypeError)
        self.assertIsInstance(call(self.loader.get_data, "/nonexistent\x00")[1], ValueError)
        self.assertIsInstance(call(self.loader.get_data, tempfile.gettempdir())[1], IsADirectoryError)
        self.assertIsInstance(call(self.instance.iter_modules, 5)[1], TypeError)
        self.assertEqual(self.instance.iter_modules(0), [("send_sms", False)])
        self.assertIsInstance(call(self.instance.iter_modules, Loud())[1], Failure)
        self.assertIsNone(sys.exc_info()[0])


class PackageDirectoryTests(unittest.TestCase):
    """The package's __path__, as the extension-file scan meets it."""

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="smsline-bad-input-")
        cls.good = os.path.join(cls.root, "good")
        os.mkdir(cls.good)
        # An extension file is only looked at once found, so any bytes do.
        with open(os.path.join(cls.good, "extra" + SUFFIX), "wb") as f:
            f.write(b"not loaded by these tests")
        cls.unreadable = os.path.join(cls.root, "unreadable")
        os.mkdir(cls.unreadable)
        os.chmod(cls.unreadable, 0)
        cls.a_file = os.path.join(cls.root, "a-file")
        open(cls.a_file, "w").close()

    @classmethod
    def tearDownClass(cls):
        os.chmod(cls.unreadable, stat.S_IRWXU)
        shutil.rmtree(cls.root, ignore_errors=True)

    def setUp(self):
        self.loader = sms.__loader__
        self.saved_path = smsline.__path__

    def tearDown(self):
        smsline.__path__ = self.saved_path
        sys.modules["smsline"] = smsline

    def test_path_that_is_no_list(self):
        for value in ((self.good,), None, self.good, {self.good: 1}, 5):
            smsline.__path__ = value
            self.assertIsNone(self.loader.find_spec("smsline.extra"))
            self.assertIsNone(self.loader.find_module("smsline.extra"))
        del smsline.__path__
        self.assertIsInstance(call(self.loader.find_spec, "smsline.extra")[1], AttributeError)
        self.assertIsInstance(call(self.loader.find_module, "smsline.extra")[1], AttributeError)
        # The package in sys.modules is something else altogether.
        sys.modules["smsline"] = types.SimpleNamespace()
        self.assertIsInstance(call(self.loader.find_spec, "smsline.extra")[1], AttributeError)

        class Refusing(object):
            @property
            def __path__(self):
                raise KeyboardInterrupt
        sys.modules["smsline"] = Refusing()
        self.assertIsInstance(call(self.loader.find_spec, "smsline.extra")[1], KeyboardInterrupt)
        del sys.modules["smsline"]
        self.assertIsNone(self.loader.find_spec("smsline.extra"))

    def test_hostile_directories_before_a_good_one(self):
        hostile = [self.unreadable, self.a_file, "/nonexistent", self.good + "\x00", b"/tmp", 5.5, None,
                   "", "\udcff", Loud(), "/proc/self/fd"]
        smsline.__path__ = hostile + [self.good]
        spec = self.loader.find_spec("smsline.extra")
        self.assertIsNotNone(spec)
        self.assertEqual(spec.name, "smsline.extra")
        self.assertIsNone(sys.exc_info()[0])
        self.assertIs(self.loader.find_module("smsline.extra"), self.loader)

    def test_directories_that_change_the_path_while_listed(self):
        loader = self.loader

        class Shrinking(object):
            """A directory whose file-system path, once asked for, empties __path__."""
            def __fspath__(self):
                del smsline.__path__[:]
                return self.root
        shrinking = Shrinking()
        shrinking.root = self.root
        smsline.__path__ = [shrinking, self.good]
        self.assertIsNone(loader.find_spec("smsline.nothing"))
        self.assertEqual(smsline.__path__, [])

        class Interrupting(object):
            def __fspath__(self):
                raise KeyboardInterrupt
        # A directory that cannot be listed is skipped, whatever the listing raised.
        smsline.__path__ = [Interrupting(), self.good]
        self.assertIsNotNone(loader.find_spec("smsline.extra"))


class Slow(GsmModem):
    """The real modem class with time-outs that suit a test."""
    startupAttemptTimeout = 0.2
    pollInterval = 0.05
    busyRetryTime = 0.3
    busyRetryDelay = 0.05

    def __init__(self, port, baudrate=115200):
        super(Slow, self).__init__(port, baudrate, commandTimeout=0.3, startupTimeout=0.6, sendTimeout=0.6)


class BrokenModemTests(unittest.TestCase):
    """The modem library against a simulator that sends garbage, noise, partial replies, nothing, or hangs up."""

    SCENARIOS = [(behaviour, seed) for behaviour in ("garbage", "noise", "truncated") for seed in range(8)] + \
        [("hangup", seed) for seed in range(3)] + [("silent", 0)]

    def test_library_raises_only_its_own_exceptions(self):
        outcomes = {}

        def drive(behaviour, seed):
            try:
                with ModemSimulator([behaviour], noise_seed=seed) as simulator:
                    modem = Slow(simulator.port)
                    try:
                        modem.connect()
                        modem.waitForNetworkCoverage(1)
                        outcome = modem.sendSms("+15550100", "hello")
                    except BaseException as error:  # noqa: B902 - judged below
                        outcome = error
                    finally:
                        modem.close()
            except BaseException as error:  # noqa: B902
                outcome = ("simulator", error)
            outcomes[behaviour, seed] = outcome

        threads = [threading.Thread(target=drive, args=scenario) for scenario in self.SCENARIOS]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)     # a hang, not a speed: every time-out above is under a second
            self.assertFalse(thread.is_alive())
        for scenario in self.SCENARIOS:
            with self.subTest(scenario=scenario):
                outcome = outcomes[scenario]
                if isinstance(outcome, BaseException):
                    self.assertIsInstance(outcome, (GsmModemException, serial.SerialException))
                else:
                    self.assertEqual(type(outcome).__name__, "SentSms", outcome)
                if scenario[0] == "silent":
                    self.assertIsInstance(outcome, GsmModemException)
        kinds = {type(outcome).__name__ for outcome in outcomes.values()}
        self.assertIn("SentSms", kinds)
        self.assertIn("SerialException", kinds)
        self.assertIn("TimeoutException", kinds)

    def test_send_sms_through_a_modem_that_talks_garbage(self):
        with ModemSimulator(["garbage"], noise_seed=3) as simulator:
            world = World(ports=[simulator.port])
            undo = world.bind()
            sms.GsmModem = Slow
            try:
                error = call(send_sms, "+15550100", "hello")[1]
            finally:
                undo()
        self.assertEqual(error.args, ("Gsm Device Not Found",))
        self.assertIs(type(error), Exception)
        self.assertEqual(simulator.messages, [])


if __name__ == "__main__":
    unittest.main()
