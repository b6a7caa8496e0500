"""The modem library's read-only queries (what smsline-send --list shows), against the simulator."""
import unittest

from smsline_gsm import GsmModem, PinRequiredError, PukRequiredError
from smsline_tools.modem_sim import ModemSimulator

QUERIES = ('manufacturer', 'model', 'revision', 'imei', 'imsi', 'networkName',
           'signalStrength', 'simState')
COMMANDS = ('AT+CGMI', 'AT+CGMM', 'AT+CGMR', 'AT+CGSN', 'AT+CIMI', 'AT+COPS?', 'AT+CSQ',
            'AT+CPIN?')
HEALTHY = {'manufacturer': 'SMSLINE', 'model': 'SIMULATED GSM MODEM',
           'revision': 'Revision: smsline-sim 1.0', 'imei': '352099001761481',
           'imsi': '001010123456789', 'networkName': 'TEST NETWORK', 'signalStrength': 20,
           'simState': 'READY'}


class NotSupported(ModemSimulator):
    """A modem that answers some commands with the words "COMMAND NOT SUPPORT"."""

    def _dispatch(self, text):
        if text.upper() in ('AT+CGMR', 'AT+COPS?'):
            return [], 'COMMAND NOT SUPPORT'
        return ModemSimulator._dispatch(self, text)


class QueryTests(unittest.TestCase):

    def answers(self, sim, identity=None, refused=None):
        sim.identity.update(identity or {})
        sim.start()
        self.addCleanup(sim.stop)
        modem = GsmModem(sim.port, commandTimeout=0.5)
        self.addCleanup(modem.close)
        if refused:
            self.assertRaises(refused, modem.connect)
        else:
            modem.connect()
        asked = len(sim.commands)
        got = {name: getattr(modem, name) for name in QUERIES}
        # One command per question, each asked once: nothing repeated.
        self.assertEqual(sim.commands[asked:], list(COMMANDS))
        return got

    def test_answers_and_refusals(self):
        # (simulator, changed identification answers, connect's error, what differs from HEALTHY)
        cases = [(ModemSimulator(), None, None, {}),
                 # blanks around the value and lines ending CR CR LF; a prefixed answer
                 (ModemSimulator(), {'+CGMI': ' WAVECOM MODEM\r', '+CGSN': '+CGSN: "352099001761481"'},
                  None, {'manufacturer': 'WAVECOM MODEM'}),
                 (ModemSimulator(), {'+CGMM': None, '+CIMI': None}, None,
                  {'model': None, 'imsi': None}),
                 # the IMSI is on a SIM still locked; no operator without registration
                 (ModemSimulator(['pin']), None, PinRequiredError,
                  {'imsi': None, 'networkName': None, 'simState': 'SIM PIN'}),
                 (ModemSimulator(['pin'], pin_attempts=0), None, PukRequiredError,
                  {'imsi': None, 'networkName': None, 'simState': 'SIM PUK'}),
                 (ModemSimulator(['denied']), None, None, {'networkName': None, 'signalStrength': 99}),
                 (NotSupported(), None, None, {'revision': None, 'networkName': None})]
        for sim, identity, refused, differs in cases:
            expected = dict(HEALTHY, **differs)
            self.assertEqual(self.answers(sim, identity, refused), expected, (sim.behaviours, identity))


if __name__ == '__main__':
    unittest.main()
