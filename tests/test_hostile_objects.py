"""Hostile objects that strike while our code is mid-operation: str subclasses
with side-effecting __eq__/__hash__ as keys and names, path-likes whose
__fspath__ mutates, and __del__ that calls back in.  Each scenario returns
what happened and what the interpreter's own code gives; nothing may be used
after it is freed (the sanitizer stage runs these too)."""
import builtins
import os
import sys
import tempfile
import types
import unittest

import smsline
import smsline.send_sms as sms

from tests import support
from tests.reliability import Modem, World, call

L = smsline.__loader__
serial_ports = sms.serial_ports


def fresh(text):
    return "".join(list(text))  # a str of its own, which the dictionary alone holds


class Trap(str):
    """Hashes as `target`; while armed, its first comparison with `target` runs `action`."""

    def __new__(cls, text, target, action, armed=True):
        self = str.__new__(cls, text)
        self.target, self.action, self.armed = target, action, armed
        return self

    def __hash__(self):
        return hash(self.target)

    def __eq__(self, other):
        if self.armed and str.__eq__(self.target, other):
            self.armed = False
            self.action()
        return str.__eq__(self, other)


def send_sms(phone_number, text):  # the interpreter's binding, for comparison
    return [phone_number, text]


def keyword_empties_the_call_dictionary(world):
    outcomes = []
    for function in [send_sms, sms.send_sms]:
        for before, keyword in [([("text", fresh("t"))], "phone_number"), ([], "zzz")]:
            kwargs = dict(before)
            kwargs[Trap(fresh(keyword), "phone_number", kwargs.clear)] = fresh("n")
            del world.sent[:]
            result, error = call(lambda: function(**kwargs))
            sent = [list(s[:2]) for s in world.sent] if function is sms.send_sms else [result] if result else []
            outcomes.append([sent, error and str(error)])
    return outcomes[2:], outcomes[:2]


def instance_key_deletes_the_method(world):
    class TrapModem(Modem):
        def __init__(self, *args):
            Modem.__init__(self, *args)
            self.__dict__[Trap(fresh("k"), "connect", lambda: delattr(TrapModem, "connect"))] = 1

        def connect(self, pin):
            return Modem.connect(self, pin)
    sms.GsmModem = lambda port, baudrate: TrapModem(world, port, baudrate)
    return [sms.send_sms("+1", "t"), world.log[1], "connect" in vars(TrapModem)], [0, ("connect", "p1"), False]


def path_like_empties_the_finder_call(world):
    saved, kwargs, found = list(smsline.__path__), {}, []
    emptying = type("Emptying", (), {"__fspath__": lambda self: kwargs.clear() or "/notexist"})()
    with tempfile.TemporaryDirectory() as directory:
        smsline.__path__[:] = [emptying, directory]  # the file is found after the first entry struck
        try:
            for method in [L.find_spec, L.find_module]:
                open(os.path.join(directory, method.__name__ + ".so"), "w").close()
                kwargs["fullname"] = fresh("smsline." + method.__name__)
                found.append(method(**kwargs))
        finally:
            smsline.__path__[:] = saved
    return [found[0].name, found[1]], ["smsline.find_spec", L]


def arguments_empty_the_loader_call(world):
    kwargs = {}
    name = type("Name", (str,), {"__hash__": lambda self: kwargs.clear() or str.__hash__(self)})
    prefix = type("Prefix", (str,), {"__bool__": lambda self: kwargs.clear() or True})
    module = type("Module", (types.ModuleType,),
                  {"__getattribute__": lambda self, n: kwargs.clear() or types.ModuleType.__getattribute__(self, n)})
    got = []
    for method, keyword, value in [(L.load_module, "fullname", lambda: name(fresh("smsline.none"))),
                                   (sys.path_importer_cache[smsline.__path__[0]].iter_modules, "package",
                                    lambda: prefix(fresh("p."))),
                                   (L.exec_module, "module", lambda: module(fresh("smsline.send_sms")))]:
        kwargs[keyword] = value()
        got.append(method(**kwargs))
    return got, [None, [("p.send_sms", False)], sms]


def module_renamed_while_its_file_is_read(world):
    module, reuse = types.ModuleType("m"), [None] * 8
    module.__name__ = fresh("original")

    def rename():
        module.__name__ = "renamed"
        for i in range(len(reuse)):
            reuse[i] = "#" * len("original")  # takes the freed name's memory
    trap = Trap(fresh("k"), "__file__", rename, armed=False)
    module.__dict__[trap] = 1  # first, so that the lookup of __file__ meets it
    module.__file__, trap.armed = "/f", True
    return L.module_repr(module), "<module 'original' from '/f'>"


def builtin_key_binds_the_global(world):
    darwin, patterns = World(platform="darwin").sys, []
    sms.glob = types.SimpleNamespace(glob=lambda pattern: patterns.append(pattern) or [])
    del sms.sys
    trap = Trap(fresh("k"), "sys", lambda: setattr(sms, "sys", darwin), armed=False)
    builtins.__dict__[trap] = 1
    builtins.sys, trap.armed = world.sys, True
    try:
        serial_ports(), serial_ports()
    finally:
        del builtins.sys, builtins.__dict__[trap]
    return patterns, ["/dev/tty.*"] * 2


def del_calls_back_from_stale_locals(world):
    outcomes = []

    def failing_call():
        sms.glob = None  # fails in our code, leaving no reference cycle behind
        try:
            return call(serial_ports)[1]
        finally:
            sms.glob = world.glob

    class CallsBack(object):
        def __del__(self):
            outcomes.append(type(failing_call()).__name__)

    def plant(operation, port):
        frame = sys._getframe()
        while frame.f_code.co_name != "serial_ports":
            frame = frame.f_back
        frame.f_locals["planted"] = CallsBack()
        world.spy = None
    kept = failing_call()  # its traceback holds a frame of the code, dropped below
    world.spy = plant
    results = [serial_ports()]
    del kept  # the interpreter keeps that frame for reuse, so the next one dropped is freed
    results += [serial_ports(), serial_ports()]
    return [results, outcomes], [[world.candidates] * 3, ["AttributeError"]]


class HostileObjectTests(unittest.TestCase):

    def test_hostile_objects_strike_mid_operation(self):
        for scenario in [keyword_empties_the_call_dictionary, instance_key_deletes_the_method,
                         path_like_empties_the_finder_call, arguments_empty_the_loader_call,
                         module_renamed_while_its_file_is_read, builtin_key_binds_the_global] + (
                            # plants its object through the running frame
                            [del_calls_back_from_stale_locals] if support.LIVE_FRAMES else []):
            world = World(ports=["p1"], candidates=["/dev/ttyA"])
            undo = world.bind()
            try:
                with self.subTest(scenario=scenario.__name__):
                    got, want = scenario(world)
                    self.assertEqual(got, want)
            finally:
                undo()


if __name__ == "__main__":
    unittest.main()
