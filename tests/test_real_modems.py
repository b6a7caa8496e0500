"""The modem library against what real modems were recorded doing, played by the simulator.

Judged by what the simulator received (judge()): a send reported as sent
arrived once and whole, one reported as failed did not arrive, or its
exception says which parts went out.
"""
import contextlib
import io
import threading
import time
import unittest

import serial

import smsline.send_sms as send_sms_module
import smsline_gsm.modem
from smsline_gsm import CmsError, GsmModem, InvalidStateException, SentSms, TimeoutException
from smsline_tools.modem_sim import PROFILES, Chaos, ModemSimulator

from tests import test_cli
from tests.test_modem_sessions import judge

SHORT = u'short and sweet'
LONG = (u'three parts of GSM text, the second one starts here: ' * 8)[:400]


class Quick(GsmModem):
    """Time-outs that suit a test: the simulator's late prompt (0.8 s) comes
    after commandTimeout, and before the resynchronisation gives up."""
    startupAttemptTimeout = 0.2
    pollInterval = 0.01
    quietTime = 0.05
    busyRetryDelay = 0.05

    def __init__(self, port, baudrate=115200):
        super(Quick, self).__init__(port, baudrate, commandTimeout=0.5, startupTimeout=1.0,
                                    sendTimeout=1.0)


def through_send_sms(sim, pin):
    """A send function: send_sms with the simulator's port, the PIN and the quick modem."""
    def send(number, text):
        module = send_sms_module
        saved = {name: module.__dict__[name] for name in ('serial_ports', 'GsmModem', 'PIN')}
        module.serial_ports, module.GsmModem, module.PIN = (lambda: [sim.port]), Quick, pin
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                return module.send_sms(number, text)
        finally:
            module.__dict__.update(saved)
    return send


def sends(send, texts):
    """(number, text, outcome) of sending ``texts``, the n-th to +1555000n."""
    made = []
    for n, text in enumerate(texts, 1):
        try:
            outcome = send('+1555000%d' % n, text)
        except Exception as e:
            outcome = e
        made.append(('+1555000%d' % n, text, outcome))
    return made


class SimulatorCase(unittest.TestCase):

    def setUp(self):
        smsline_gsm.modem._refused_pins.clear()

    def simulator(self, *behaviours, **options):
        sim = ModemSimulator(behaviours=list(behaviours) or ['healthy'], prompt_delay=0.8, **options)
        sim.start()
        self.addCleanup(sim.stop)
        return sim

    def modem(self, sim, pin=None):
        modem = Quick(sim.port)
        self.addCleanup(modem.close)
        modem.connect(pin)
        return modem


class RecordedModemTests(SimulatorCase):

    def test_every_recorded_modem_connects_and_sends(self):
        # (profile, PIN, the long message is cut off by the port vanishing)
        cases = [('pin-lock-all', '1234', False), ('pin-lock-few', '1234', False),
                 ('cpin-no-ok', '1234', False), ('busy-after-reset', None, False),
                 ('sim-busy-after-pin', '1234', False), ('command-not-support', None, False),
                 ('late-prompt', None, False), ('urc-after-prompt', None, False),
                 ('vanish-mid-send', None, True)]
        self.assertEqual(sorted(case[0] for case in cases), sorted(PROFILES))
        for profile, pin, vanishes in cases:
            for path in ('direct', 'send_sms'):
                sim = self.simulator(profile=profile, pin='1234')
                send = self.modem(sim, pin).sendSms if path == 'direct' else through_send_sms(sim, pin)
                with self.assertLogs('smsline_gsm', 'DEBUG'):
                    made = sends(send, [SHORT, LONG])
                sent = 'SentSms' if path == 'direct' else 'int'     # send_sms gives the status
                self.assertEqual((judge(sim, made), [type(outcome).__name__ for _, _, outcome in made]),
                                 ([], [sent, 'SerialException' if vanishes else sent]), (profile, path))
                self.assertEqual([m['parts'] for m in sim.messages], [1] if vanishes else [1, 3])


class OutOfStepTests(SimulatorCase):

    def test_a_late_prompt_belongs_to_the_command_that_asked_for_it(self):
        # The first prompt comes after the time-out; messages to +15550003 are refused.
        for mode in ('healthy', 'text-only'):
            sim = self.simulator('late-prompt', mode, late_prompts={1}, refused_numbers={'+15550003'})
            made = sends(self.modem(sim).sendSms,
                         [SHORT, LONG if mode == 'healthy' else u'second', u'barred', u'last'])
            self.assertEqual(judge(sim, made), [], mode)
            self.assertEqual([type(outcome) for _, _, outcome in made],
                             [SentSms, SentSms, CmsError, SentSms], mode)

    def test_the_echo_is_the_text_wherever_it_stands_among_unsolicited_lines(self):
        # Text mode, echo on; RING, +CMTI:, +CREG: or ^RSSI: right after each prompt.
        texts = [u'OK', u'ERROR', u'+CMGS: 9', u'> ', u'RING']
        sim = self.simulator('text-only', profile='urc-after-prompt')
        made = sends(self.modem(sim).sendSms, texts)
        self.assertEqual((judge(sim, made), [type(outcome) for _, _, outcome in made]),
                         ([], [SentSms] * len(texts)))
        # A caller of send_sms that sends again after a failure sends nothing twice.
        sim = self.simulator('text-only', profile='urc-after-prompt')
        send = through_send_sms(sim, None)
        for text in texts:
            if isinstance(sends(send, [text])[0][2], Exception):
                send('+15550001', text)
        self.assertEqual([m['text'] for m in sim.messages], texts)


class LateAnswer(Chaos):
    """No trouble but one: the answer to the ``nth`` message text comes ``delay`` seconds late."""

    def __init__(self, nth, delay):
        super(LateAnswer, self).__init__(0, rate=0)
        self.nth, self.delay, self.answers = nth, delay, 0

    def answer(self, lines, late):
        self.answers += bool(late)
        return super(LateAnswer, self).answer(lines, late)[0], \
            self.delay if late and self.answers == self.nth else 0


class WhatWentOutTests(SimulatorCase):

    def test_a_failure_after_parts_went_out_says_which(self):
        def fail_second_write(sim, modem):
            write, texts = modem._serial.write, []

            def failing(data):
                texts.extend([data] if data.endswith(b'\x1a') else [])
                if len(texts) == 2:
                    raise serial.SerialTimeoutException('Write timeout')
                return write(data)
            modem._serial.write = failing

        def close_soon(sim, modem):
            threading.Timer(0.3, modem.close).start()
        # (simulator, what breaks, outcome, parts the modem accepted, the next may have gone out)
        cases = [(['chaos'], {'chaos': LateAnswer(2, 30)}, None, TimeoutException, 2, True),
                 (['chaos'], {'chaos': LateAnswer(2, 1.2)}, None, SentSms, 3, False),
                 ([], {}, fail_second_write, TimeoutException, 1, True),
                 (['no-report'], {}, close_soon, InvalidStateException, 3, False)]
        for behaviours, options, breaks, outcome, accepted, unconfirmed in cases:
            sim = self.simulator(*behaviours, **options)
            modem = self.modem(sim)
            if breaks:
                breaks(sim, modem)
            with self.assertLogs('smsline_gsm', 'DEBUG'):
                made = sends(lambda n, text: modem.sendSms(
                    n, text, waitForDeliveryReport=outcome is InvalidStateException), [LONG])
            got, where = made[0][2], (behaviours, outcome)
            self.assertEqual((judge(sim, made), type(got), len(sim.parts)),
                             ([], outcome, accepted), where)
            self.assertEqual(getattr(got, 'unconfirmed', False), unconfirmed, where)
            if outcome is InvalidStateException:      # closed while waiting for the reports
                self.assertEqual(got.sentSms.references, got.partsSent, where)

    def test_the_command_line_says_how_many_parts_went_out(self):
        sim = self.simulator('vanish', vanish_after=1)
        with self.assertLogs('smsline_gsm', 'WARNING'):
            code, out, err = test_cli.run(['-q', '--port', sim.port, '123', LONG], test_cli.stand_in())
        self.assertEqual(code, 1)
        self.assertIn('1 of its parts had gone out already', err)

    def test_reports_are_matched_by_reference_and_recipient(self):
        sim = self.simulator('no-report')
        modem, result = self.modem(sim), []
        waiting = threading.Thread(target=lambda: result.append(modem.sendSms(
            '+15550001', SHORT, waitForDeliveryReport=True, deliveryTimeout=5)))
        waiting.start()
        while not sim.parts:
            time.sleep(0.01)
        sim.send_status_report(sim.parts[0]['reference'], '+15550002')   # same reference, another's
        time.sleep(0.3)
        self.assertEqual(result, [])
        sim.send_status_report(sim.parts[0]['reference'], '+15550001')
        waiting.join(5)
        self.assertEqual(result[0].status, SentSms.DELIVERED)


if __name__ == '__main__':
    unittest.main()
