"""Calls made by and into our functions, judged by what the interpreter does.

Objects whose methods our functions call stay as the interpreter leaves them
after the interpreted twin (smsline/send_sms.py) called them, and
keyword calls into our functions bind as a plain function's do, whichever
way the interpreter passes the keywords.
"""
import contextlib
import dis
import gc
import importlib.util
import io
import os
import sys
import types
import unittest

import smsline.send_sms as sms

from tests import support
from tests.fakes import bound_globals

_spec = importlib.util.spec_from_file_location(
    "reference_send_sms", os.path.join(support.ROOT, "smsline", "send_sms.py"))
twin = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(twin)


class Modem(object):
    """An ordinary modem object: its state in an instance dictionary."""
    made = []

    def __init__(self, port, baudrate):
        self.port = port
        self.baudrate = baudrate
        Modem.made.append(self)

    def connect(self, pin):
        self.alive = True

    def waitForNetworkCoverage(self, timeout):
        return 20

    def sendSms(self, number, text, waitForDeliveryReport=False, deliveryTimeout=15):
        return types.SimpleNamespace(status=0)

    def close(self):
        self.alive = False


class Serial(object):
    """An ordinary port object."""
    made = []

    def __init__(self, port):
        self.port = port
        Serial.made.append(self)

    def close(self):
        self.is_open = False


@contextlib.contextmanager
def bound(module, **values):
    """The stand-ins in the module's globals, stdout caught."""
    with bound_globals(module, **values), contextlib.redirect_stdout(io.StringIO()):
        yield


def send(module):
    with bound(module, GsmModem=Modem, serial_ports=lambda: ["p"]):
        module.send_sms("1", "t")
    return Modem.made[-1]


def probe(module):
    with bound(module, sys=types.SimpleNamespace(platform="linux"),
               glob=types.SimpleNamespace(glob=lambda pattern: ["p"]),
               serial=types.SimpleNamespace(Serial=Serial, SerialException=OSError)):
        module.serial_ports()
    return Serial.made[-1]


def how_the_interpreter_reads(obj):
    """(the specialised attribute read the interpreter settles on for
    `obj.port`, whether it made `obj` a dictionary): an object whose
    attribute values the interpreter keeps by itself reads fastest; once
    something asked for its dictionary, reads go through that dictionary."""
    namespace = {}
    exec("def read(obj):\n    return obj.port\n", namespace)
    read = namespace["read"]
    for _ in range(1000):
        read(obj)
    reads = [instruction.opname for instruction in dis.get_instructions(read, adaptive=True)
             if instruction.opname.startswith("LOAD_ATTR")]
    return reads, any(type(referent) is dict for referent in gc.get_referents(obj))


@unittest.skipIf(sys.version_info < (3, 11), "the interpreter specialises attribute reads from 3.11")
class CalleeObjectsTest(unittest.TestCase):
    """A method call of ours never makes the callee object a dictionary."""

    def test_callees_read_as_after_the_twin(self):
        # send_sms calls connect, waitForNetworkCoverage, sendSms with
        # keywords and close on the modem; serial_ports calls close on ports.
        for name, run in (("send_sms", send), ("serial_ports", probe)):
            with self.subTest(name):
                expected = how_the_interpreter_reads(run(twin))
                self.assertEqual(expected, (["LOAD_ATTR_INSTANCE_VALUE"], False))
                self.assertEqual(how_the_interpreter_reads(run(sms)), expected)


def send_sms(phone_number: str, text: str) -> int:
    """The parameters of ours, as a plain function."""
    raise LookupError(phone_number, text)


class KeywordCallsTest(unittest.TestCase):
    """Keywords written in the call itself (the interpreter passes their names
    as a tuple), also through a bound method, bind as a plain function's."""

    def test_keywords_in_the_call(self):
        class Holder(object):
            ours = sms.send_sms
            plain = send_sms

        holder = Holder()
        calls = (
            ("no keywords", lambda f: f("p", "t")),
            ("both by keyword", lambda f: f(text="t", phone_number="p")),
            ("one by keyword", lambda f: f("p", text="t")),
            ("unexpected", lambda f: f("p", "t", extra=1)),
            ("given twice", lambda f: f("p", phone_number="q")),
            ("missing", lambda f: f(text="t")),
            ("too many", lambda f: f("p", "t", "u", text="v")),
            ("bound, one by keyword", lambda f: f(text="t")),
            ("bound, given twice", lambda f: f("p", text="t")),
        )
        with bound(sms, serial_ports=lambda: []):
            for label, call in calls:
                with self.subTest(label):
                    bound_call = label.startswith("bound")
                    outcomes = []
                    for function in ((holder.ours, holder.plain) if bound_call else (sms.send_sms, send_sms)):
                        try:
                            call(function)
                        except LookupError as reached:   # the plain function's body
                            outcomes.append(("bound", reached.args))
                        except TypeError as error:
                            outcomes.append(("TypeError", str(error)))
                        except Exception as error:       # our body: "not found" with no port
                            self.assertEqual(str(error), "Gsm Device Not Found")
                            entry = error.__traceback__
                            while entry.tb_frame.f_code is not sms.send_sms.__code__:
                                entry = entry.tb_next
                            arguments = entry.tb_frame.f_locals
                            outcomes.append(("bound", (arguments["phone_number"], arguments["text"])))
                    self.assertEqual(outcomes[0], outcomes[1])


if __name__ == "__main__":
    unittest.main()
