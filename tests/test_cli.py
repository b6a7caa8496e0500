"""smsline-send with a stand-in for smsline.send_sms that follows its contract."""
import contextlib
import io
import types
import unittest

from gsmmodem import GsmModem
from smsline_tools import cli
from smsline_tools.modem_sim import ModemSimulator


def stand_in():
    """A module like smsline.send_sms: globals are looked up at each call."""
    module = types.ModuleType('send_sms_stand_in')
    module.PIN = None
    module.BAUDRATE = 115200
    module.GsmModem = GsmModem
    module.serial_ports = lambda: ['/dev/no-such-modem']
    module.seen = []

    def send_sms(phone_number, text):
        for port in module.serial_ports():
            module.seen.append((port, module.PIN))
            modem = module.GsmModem(port, module.BAUDRATE)
            try:
                modem.connect(module.PIN)
                modem.waitForNetworkCoverage(5)
                return modem.sendSms(phone_number, text).status
            finally:
                modem.close()
    module.send_sms = send_sms
    return module


def run(argv, module):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = cli.main(argv, module=module)
    return code, out.getvalue(), err.getvalue()


class CliTests(unittest.TestCase):

    def test_simulate_with_pin_sends_and_restores_globals(self):
        module = stand_in()
        ports = module.serial_ports
        code, out, err = run(['--simulate', '--pin', '4321', '+4917', u'Gr\u00fc\u00dfe {x}'],
                             module)
        self.assertEqual((code, err), (0, ''))
        self.assertIn(u'simulator received: to=+4917 text=Gr\u00fc\u00dfe {x} ref=1', out)
        self.assertEqual(module.seen[0][1], '4321')
        self.assertIs(module.serial_ports, ports)
        self.assertIsNone(module.PIN)

    def test_port_option_uses_that_port(self):
        module = stand_in()
        with ModemSimulator() as sim:
            code, out, err = run(['--port', sim.port, '123', 'hi'], module)
        self.assertEqual(code, 0)
        self.assertEqual([m['text'] for m in sim.messages], ['hi'])

    def test_failure_is_one_line_on_stderr(self):
        code, out, err = run(['123', 'hi'], stand_in())
        self.assertEqual(code, 1)
        self.assertTrue(err.startswith('smsline-send: error: '))
        self.assertEqual(err.count('\n'), 1)

    def test_list_ports_and_bad_usage(self):
        module = stand_in()
        self.assertEqual(run(['--list-ports'], module)[:2], (0, '/dev/no-such-modem\n'))
        with self.assertRaises(SystemExit) as caught:
            run(['123'], module)
        self.assertEqual(caught.exception.code, 2)
