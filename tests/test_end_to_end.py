"""send_sms through the real modem library and pyserial to the simulator on a pseudo-terminal."""
import contextlib
import io
import os
import tempfile
import unittest

import smsline.send_sms as sms
from smsline_gsm.exceptions import CmsError
from smsline_gsm.modem import GsmModem, SentSms
from smsline_tools.modem_sim import ModemSimulator

from tests import support

NOT_FOUND = "Gsm Device Not Found"


our_entries = support.submodule_entries


class EndToEndCase(unittest.TestCase):

    GLOBALS = ("serial_ports", "GsmModem", "PIN")

    def setUp(self):
        self.saved = {name: sms.__dict__[name] for name in self.GLOBALS}
        self.addCleanup(sms.__dict__.update, self.saved)
        self.made = []

    def simulator(self, *behaviours, **options):
        sim = ModemSimulator(behaviours=list(behaviours) or ["healthy"], **options)
        sim.start()
        self.addCleanup(sim.stop)
        return sim

    def use(self, *ports, **timeouts):
        """Walk exactly these ports, with the library's modem class (timeouts shortened if given)."""
        sms.serial_ports = lambda: list(ports)

        def make(port, baudrate):
            modem = GsmModem(port, baudrate, **timeouts)
            self.made.append(modem)
            return modem
        sms.GsmModem = make

    def failure(self, exc_type, text="never sent"):
        """The exception of a send that must fail (kept with its traceback), and the lines printed."""
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            try:
                sms.send_sms("+15551234567", text)
            except exc_type as e:
                return e, out.getvalue().splitlines()
        self.fail("send_sms did not raise")

    def send(self, number, text):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            result = sms.send_sms(number, text)
        return result, out.getvalue().splitlines()

    def assertNotFound(self):
        error, lines = self.failure(Exception)
        self.assertEqual((type(error), error.args), (Exception, (NOT_FOUND,)))
        self.assertEqual(our_entries(error), [("send_sms", 58)])
        self.assertEqual(lines, [])
        self.assertTrue(self.made)
        self.assertFalse([modem for modem in self.made if modem.alive])


class SendThroughSimulatorTests(EndToEndCase):

    def test_texts_arrive_and_status_is_returned(self):
        sim = self.simulator()
        sms.serial_ports = lambda: [sim.port]
        self.assertIs(sms.GsmModem, GsmModem)    # the library's class, as imported
        texts = ["Hello", u"\u00e4\u00f6\u00fc\u00a3\u20ac{}", u"\u041f\u0440\u0438\u0432\u0435\u0442 \U0001f44b"]
        for text in texts:
            result, lines = self.send("+15551234567", text)
            self.assertEqual(result, SentSms.ENROUTE)
            self.assertEqual(lines, ["Gsm Device Found on Port: " + sim.port, "Sending message now.", "0"])
        self.assertEqual([(m["number"], m["text"]) for m in sim.messages],
                         [("+15551234567", text) for text in texts])
        self.assertEqual([(m["mode"], m["dcs"]) for m in sim.messages], [("pdu", 0), ("pdu", 0), ("pdu", 8)])

    def test_sim_pin(self):
        sim = self.simulator("pin", pin="4321")
        self.use(sim.port)
        self.assertNotFound()
        self.assertEqual(sim.messages, [])

        sms.PIN = "4321"
        result, lines = self.send("+15551234567", "unlocked")
        self.assertEqual((result, lines[1:]), (0, ["Sending message now.", "0"]))
        self.assertEqual([m["text"] for m in sim.messages], ["unlocked"])
        self.assertIn('AT+CPIN="4321"', sim.commands)

    def test_no_network(self):
        for behaviour in ("denied", "no-network"):
            with self.subTest(behaviour=behaviour):
                sim = self.simulator(behaviour)
                self.use(sim.port)
                self.assertNotFound()
                self.assertIn("AT+CREG?", sim.commands)
                self.assertEqual(sim.messages, [])

    def test_refused_send_reaches_the_caller_after_close(self):
        sim = self.simulator("cms-error", cms_error=330)
        self.use(sim.port)
        error, lines = self.failure(CmsError, "refused")
        self.assertEqual(error.code, 330)
        self.assertEqual(our_entries(error), [("send_sms", 61)])
        self.assertEqual(lines[1:], ["Sending message now."])
        self.assertEqual(len(self.made), 1)
        self.assertFalse(self.made[0].alive)
        self.assertEqual(sim.messages, [])

    def test_modem_found_behind_ports_without_one(self):
        silent = self.simulator("silent")
        sim = self.simulator()
        missing = os.path.join(tempfile.gettempdir(), "smsline-no-such-port")
        self.use(missing, silent.port, sim.port, commandTimeout=0.5, startupTimeout=0.5)
        result, lines = self.send("+15551234567", "third time lucky")
        self.assertEqual(result, 0)
        self.assertEqual(lines, ["Gsm Device Found on Port: " + sim.port, "Sending message now.", "0"])
        self.assertEqual([m["text"] for m in sim.messages], ["third time lucky"])
        self.assertEqual([m.port for m in self.made], [missing, silent.port, sim.port])
        self.assertFalse([modem for modem in self.made if modem.alive])


class CommandLineTests(unittest.TestCase):

    def test_simulated_send_from_the_command_line(self):
        done = support.run_python(
            """
            import sys
            from smsline_tools import cli
            sys.exit(cli.main(["--simulate", "+15551234567", "Hello"]))
            """, path=[os.path.dirname(support.EXTENSION)], timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertNotIn("error", done.stderr)
        lines = done.stdout.splitlines()
        self.assertEqual(len(lines), 4, lines)
        self.assertRegex(lines[0], r"^Gsm Device Found on Port: /dev/\S+$")
        self.assertEqual(lines[1:], ["Sending message now.", "0",
                                     "simulator received: to=+15551234567 text=Hello ref=1"])


if __name__ == "__main__":
    unittest.main()
