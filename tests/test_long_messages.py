"""PDU mode, long messages and delivery reports: the library against the simulator on a pty."""
import logging
import os
import subprocess
import sys
import time
import unittest

import serial

from smsline_gsm import CmsError, DeliveryTimeoutError, GsmModem, SentSms, TimeoutException
from smsline_gsm.pdu import encode_submit
from smsline_tools.modem_sim import ModemSimulator

from tests.test_cli import INSTALLED
from tests.test_modem_library import ModemCase
from tests.test_modem_sim import read_until

# 400 characters of GSM text, every extension character among them (each takes
# two septets, so the text needs 4 parts), and 200 Cyrillic characters (UCS2, 3 parts).
GSM_LONG = (u'{curly} [square] ~tilde\\ |pipe| ^caret^ \u20ac5 ' * 10)[:400]
CYRILLIC_LONG = (u'\u041f\u0440\u0438\u0432\u0435\u0442, \u043c\u0438\u0440! ' * 20)[:200]


class LongMessageTests(ModemCase):

    def test_long_texts_arrive_whole_in_parts(self):
        # (modem, text, parts, TP-DCS)
        cases = [('healthy', GSM_LONG, 4, 0), ('healthy', CYRILLIC_LONG, 3, 8),
                 ('pdu-only', GSM_LONG, 4, 0), ('pdu-only', u'short', 1, 0),
                 ('echo', CYRILLIC_LONG, 3, 8)]
        for behaviour, text, parts, dcs in cases:
            sim, modem = self.connected(behaviour)
            sms = modem.sendSms('+4915112345678', text)
            message = sim.messages[-1]
            self.assertEqual((message['text'], message['parts'], message['dcs']), (text, parts, dcs))
            self.assertEqual((sms.parts, sms.references, sms.reference),
                             (parts, message['references'], message['references'][0]))
            self.assertEqual(len(set(sms.references)), parts)

    def test_each_modem_kind_connects_in_the_mode_it_has(self):
        for behaviour, pdu_mode in (('healthy', True), ('pdu-only', True), ('text-only', False)):
            sim, modem = self.connected(behaviour)
            self.assertEqual(modem.pduMode, pdu_mode)
            modem.sendSms('123', 'hi')
            self.assertEqual(sim.messages[-1]['mode'], 'pdu' if pdu_mode else 'text')
            self.assertEqual(sim.commands.count('AT+CMGF=1'), 0 if pdu_mode else 1)

    def test_a_part_refused_after_others_went_out_says_which(self):
        for accepted in (0, 2):
            sim, modem = self.connected('cms-error', cms_error=332)
            sim.parts_before_error = accepted
            with self.assertRaises(CmsError) as caught:
                modem.sendSms('123', GSM_LONG)
            self.assertEqual(getattr(caught.exception, 'partsSent', []), [1, 2][:accepted])
            self.assertEqual(sim.messages, [])

    def test_successive_long_messages_use_new_concatenation_references(self):
        sim, modem = self.connected()
        for _ in range(2):
            modem.sendSms('123', 'x' * 200)
        other = GsmModem(sim.port)
        self.addCleanup(other.close)
        modem.close()
        other.connect()
        other.sendSms('123', 'x' * 200)
        self.assertEqual([m['parts'] for m in sim.messages], [2, 2, 2])
        self.assertEqual(len(set(m['concat_reference'] for m in sim.messages)), 3)


class DeliveryReportTests(ModemCase):

    def test_reports_decide_the_status_of_every_part(self):
        # (simulator behaviours, TP-ST, text): direct (+CDS) and stored (+CDSI) reports,
        # in PDU and text mode, for single and concatenated messages.
        cases = [(['healthy'], 0x00, GSM_LONG, SentSms.DELIVERED),
                 (['report-cdsi'], 0x00, CYRILLIC_LONG, SentSms.DELIVERED),
                 (['healthy'], 0x41, GSM_LONG, SentSms.FAILED),
                 (['report-cdsi'], 0x46, u'one part', SentSms.FAILED),
                 (['text-only'], 0x00, u'text mode', SentSms.DELIVERED),
                 (['text-only', 'report-cdsi'], 0x62, u'text mode', SentSms.FAILED),
                 (['echo', 'unsolicited'], 0x00, GSM_LONG, SentSms.DELIVERED)]
        for behaviours, st, text, status in cases:
            sim, modem = self.connected(*behaviours, report_status=st)
            sms = modem.sendSms('+4915112345678', text, waitForDeliveryReport=True,
                                deliveryTimeout=3)
            self.assertEqual((sms.status, sms.deliveryStatus), (status, st), behaviours)
            self.assertEqual(sms.report.reference, sms.reference)
            if status == SentSms.DELIVERED:
                self.assertEqual([r.reference for r in sms.reports], sms.references)
            self.assertEqual(sim.messages[-1]['text'], text)

    def test_missing_reports_raise_the_timeout_with_the_sent_message(self):
        for text in (u'one part', GSM_LONG):
            sim, modem = self.connected('no-report')
            with self.assertRaises(DeliveryTimeoutError) as caught:
                modem.sendSms('123', text, waitForDeliveryReport=True, deliveryTimeout=0.3)
            self.assertIsInstance(caught.exception, TimeoutException)
            sent = caught.exception.sentSms
            self.assertEqual((sent.status, sent.parts), (SentSms.ENROUTE, sim.messages[-1]['parts']))
            for reference in sent.references:
                self.assertIn(str(reference), str(caught.exception))

    def test_reports_nobody_waits_for_are_logged_not_taken_for_replies(self):
        sim, modem = self.connected()
        with self.assertLogs('smsline_gsm', logging.INFO) as logs:
            sim.report_status = 0x41
            failed = modem.sendSms('123', 'x' * 200, waitForDeliveryReport=True,
                                   deliveryTimeout=2)
            # A report for a message sent in a former session arrives while
            # commands run: they still get their own replies.
            sim.send_status_report(77, '+123')
            time.sleep(0.6)     # the simulator wakes at least twice a second
            for _ in range(3):
                self.assertEqual(modem.waitForNetworkCoverage(1), 20)
                modem.sendSms('123', 'later')
        self.assertEqual(failed.status, SentSms.FAILED)
        self.assertIn('reference 77, which nothing waits for: status 0x41',
                      '\n'.join(logs.output))


class SimulatorPduTests(unittest.TestCase):
    """The simulator's PDU mode, spoken raw."""

    def test_formats_and_the_length_given_to_cmgs_are_checked(self):
        part = encode_submit('+15551', 'hello')[0]
        # (behaviour, commands and their answers)
        cases = [('healthy', [(b'AT+CMGF=?\r', b'+CMGF: (0,1)'), (b'AT+CMGF=1\r', b'OK')]),
                 ('pdu-only', [(b'AT+CMGF=?\r', b'+CMGF: (0)'), (b'AT+CMGF=1\r', b'+CMS ERROR: 303')]),
                 ('text-only', [(b'AT+CMGF=?\r', b'+CMGF: (1)'), (b'AT+CMGF=0\r', b'+CMS ERROR: 303')]),
                 ('pdu-only', [(b'AT+CMGS=%d\r' % (part.tpdu_length + 1), b'> '),
                               (part.pdu.encode() + b'\x1a', b'+CMS ERROR: 304'),
                               (b'AT+CMGS=%d\r' % part.tpdu_length, b'> '),
                               (part.pdu.encode() + b'\x1a', b'+CMGS: 1'),
                               (b'AT+CMGS=5\r', b'+CMS ERROR: 304')])]
        for behaviour, exchanges in cases:
            with ModemSimulator(behaviours=[behaviour]) as sim:
                port = serial.Serial(sim.port, 115200, timeout=0.05)
                self.addCleanup(port.close)
                port.write(b'ATE0\r')
                read_until(port, b'OK\r\n')
                for command, answer in exchanges:
                    port.write(command)
                    self.assertIn(answer, read_until(port, answer), (behaviour, command))
                port.close()
                self.assertEqual([m['text'] for m in sim.messages],
                                 ['hello'] if len(exchanges) > 2 else [])


@unittest.skipUnless(os.path.exists(INSTALLED), 'smsline-send is not installed in .venv')
class InstalledReportTests(unittest.TestCase):
    """smsline-send --report as installed, against the simulator as a program of its own."""

    def simulator(self, *options):
        sim = subprocess.Popen([sys.executable, '-m', 'smsline_tools.modem_sim'] + list(options),
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               universal_newlines=True)
        self.addCleanup(sim.stdout.close)
        self.addCleanup(sim.wait, 10)
        self.addCleanup(sim.stdin.close)
        return sim.stdout.readline().split()[1]

    def test_delivery_outcome_and_exit_status(self):
        # (simulator options, smsline-send options, text, exit status, words on stderr)
        short = u'{%s}' % CYRILLIC_LONG[:60]
        cases = [([], ['--report'], short, 0, 'delivered to +15551234567'),
                 (['--report-status', '70', '--behaviour', 'pdu-only'], ['--report', '5'], short,
                  6, 'error: the network reported the message to +15551234567 as not '
                     'delivered: validity period expired (status 0x46)'),
                 (['--behaviour', 'no-report'], ['--report', '0.5'], short, 7,
                  'error: the message was sent, but no delivery report came within 0.5 s'),
                 (['--behaviour', 'text-only'], ['--report=5'], short, 0, 'delivered to'),
                 (['--behaviour', 'text-only'], [], CYRILLIC_LONG, 1,
                  'longer messages need a modem with PDU mode: shorten the text')]
        env = dict(os.environ)
        env.pop('PYTHONPATH', None)
        for options, extra, text, status, words in cases:
            port = self.simulator(*options)
            done = subprocess.run([INSTALLED, '--port', port] + extra + ['+15551234567', text],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  universal_newlines=True, env=env, timeout=60)
            self.assertEqual(done.returncode, status, (options, done.stderr))
            self.assertIn(words, done.stderr.splitlines()[-1])
        self.assertIn('accepted the message in 3 parts', self.send_long(env))

    def send_long(self, env):
        return subprocess.run([INSTALLED, '--port', self.simulator(), '123', GSM_LONG[:300]],
                              stderr=subprocess.PIPE, universal_newlines=True, env=env,
                              stdout=subprocess.DEVNULL, timeout=60).stderr
