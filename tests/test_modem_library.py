"""The modem library smsline_gsm against the modem simulator, over a real pty and pyserial."""
import errno
import functools
import itertools
import json
import logging
import os
import select
import tempfile
import termios
import threading
import time
import tty
import unittest
from unittest import mock

import serial

import smsline_gsm.modem
from smsline_gsm import (CommandError, CmsError, EncodingError, GsmModem, GsmModemException,
                      IncorrectPinError,
                      InvalidPinError, InvalidStateException, MessageTooLongError,
                      PinRequiredError, PukRequiredError, RegistrationError,
                      RegistrationTimeoutError, SentSms, TimeoutException)
from smsline_gsm.modem import encode_text, gsm_septets
from smsline_tools.modem_sim import ModemSimulator


class ModemCase(unittest.TestCase):
    """Starts a simulator and a modem object, both cleaned up after the test."""

    def setUp(self):
        # Pseudo-terminal names come back: a PIN refused in one test must not
        # be held against a new simulator on the same name.
        smsline_gsm.modem._refused_pins.clear()

    def open(self, *behaviours, **options):
        sim = ModemSimulator(behaviours=behaviours or ['healthy'], **options)
        sim.start()
        self.addCleanup(sim.stop)
        modem = GsmModem(sim.port, commandTimeout=1.0, startupTimeout=1.0,
                         sendTimeout=2.0)
        modem.pollInterval = 0.01
        modem.startupAttemptTimeout = 0.1
        self.addCleanup(modem.close)
        return sim, modem

    def connected(self, *behaviours, **options):
        sim, modem = self.open(*behaviours, **options)
        modem.connect()
        return sim, modem


class GsmTextTests(unittest.TestCase):

    def test_basic_characters_map_to_their_gsm_codes(self):
        self.assertEqual(encode_text(u'@$_\u00e0\u00a4A'),
                         ('GSM', 0, b'\x00\x02\x11\x7f\x24\x41'))

    def test_extension_characters_count_twice(self):
        self.assertEqual(gsm_septets(u'{}[]~\\|^\u20ac'), 18)
        self.assertEqual(encode_text(u'{' * 80)[1], 0)
        with self.assertRaises(MessageTooLongError) as caught:
            encode_text(u'{' * 81)
        self.assertIn('162', str(caught.exception))
        self.assertIn('160', str(caught.exception))

    def test_gsm_limit_is_160_septets(self):
        encode_text(u'x' * 160)
        with self.assertRaises(ValueError):
            encode_text(u'x' * 161)

    def test_ucs2_limit_counts_utf16_units(self):
        self.assertEqual(encode_text(u'\u0416' * 70)[:2], ('UCS2', 8))
        self.assertEqual(encode_text(u'\U0001F600')[2], b'D83DDE00')
        encode_text(u'\U0001F600' * 35)
        with self.assertRaises(MessageTooLongError) as caught:
            encode_text(u'\U0001F600' * 36)
        self.assertEqual((caught.exception.length, caught.exception.limit), (72, 70))

    def test_text_needing_escape_or_editing_codes_is_never_sent_raw(self):
        # ESC, backspace (o grave) and Ctrl-Z (Xi) would be read as editing keys.
        for text in (u'{', u'\u00f2', u'\u039e'):
            self.assertEqual(encode_text(text)[:2], ('UCS2', 0), text)

    def test_unencodable_text_is_refused(self):
        with self.assertRaises(EncodingError):
            encode_text(u'\ud800')


class ConnectTests(ModemCase):

    def test_pin_is_entered_when_the_sim_asks(self):
        sim, modem = self.open('pin', pin='4321')
        modem.connect(pin='4321')
        modem.sendSms('123', 'hi')
        self.assertEqual(len(sim.messages), 1)

    def test_missing_pin(self):
        sim, modem = self.open('pin')
        with self.assertRaises(PinRequiredError) as caught:
            modem.connect()
        self.assertEqual(caught.exception.code, 11)
        self.assertIn('AT+CPIN?', str(caught.exception))

    def test_wrong_pin_names_command_and_code_but_not_the_pin(self):
        sim, modem = self.open('pin', pin='4321')
        with self.assertRaises(IncorrectPinError) as caught:
            modem.connect(pin='9876')
        message = str(caught.exception)
        self.assertIn('AT+CPIN=', message)
        self.assertIn('16', message)
        self.assertNotIn('9876', message)

    def test_modem_slow_to_start_is_retried(self):
        sim, modem = self.connected('slow-start')
        self.assertEqual(sim.commands[:3], ['ATZ', 'ATZ', 'ATZ'])
        modem.sendSms('123', 'hi')

    def test_silent_port_times_out_and_closes_cleanly(self):
        sim, modem = self.open('silent')
        with self.assertRaises(TimeoutException) as caught:
            modem.connect()
        self.assertIn('ATZ', str(caught.exception))
        modem.close()
        modem.close()

    def test_busy_answers_are_retried(self):
        sim, modem = self.connected('busy')
        modem.sendSms('123', 'hi')
        self.assertEqual(sim.commands.count('AT+CPIN?'), 2)
        self.assertEqual(len([c for c in sim.commands if c.startswith('AT+CMGS=')]), 2)
        self.assertEqual(len(sim.messages), 1)

    def test_use_before_connect_or_after_close(self):
        modem = GsmModem('/dev/null')
        modem.close()
        with self.assertRaises(InvalidStateException):
            modem.sendSms('123', 'hi')
        sim, modem = self.connected()
        modem.close()
        with self.assertRaises(InvalidStateException):
            modem.waitForNetworkCoverage()

    def test_a_failed_connect_leaves_a_modem_that_only_connects_again(self):
        sim, modem = self.open('pin', pin='4321')
        with self.assertRaises(PinRequiredError):
            modem.connect()
        self.assertTrue(modem.alive)    # open until close() or the next connect()
        for call in (lambda: modem.sendSms('123', 'hi'), lambda: modem.waitForNetworkCoverage(1)):
            with self.assertRaises(InvalidStateException):
                call()
        modem.connect('4321')
        modem.sendSms('123', 'hi')
        self.assertEqual(len(sim.messages), 1)

    def test_probe_and_sequential_connections(self):
        sim, modem = self.open()
        for _ in range(3):
            serial.Serial(sim.port, 115200, timeout=0.05).close()   # a port probe
            modem.connect()
            modem.sendSms('123', 'hi')
            modem.close()
        self.assertEqual([m['reference'] for m in sim.messages], [1, 2, 3])


class NetworkTests(ModemCase):

    def test_registered_returns_signal(self):
        sim, modem = self.connected(rssi=17)
        self.assertEqual(modem.waitForNetworkCoverage(1), 17)
        sim, modem = self.connected('roaming')
        self.assertEqual(modem.waitForNetworkCoverage(1), 20)

    def test_not_searching_or_denied_fail_at_once(self):
        for behaviour, stat in (('no-network', 0), ('denied', 3)):
            sim, modem = self.connected(behaviour)
            with self.assertRaises(RegistrationError) as caught:
                modem.waitForNetworkCoverage(30)
            self.assertEqual(caught.exception.stat, stat)
            self.assertEqual(sim.commands.count('AT+CREG?'), 1)

    def test_searching_is_polled_until_registered(self):
        sim, modem = self.connected('slow-registration', registration_polls=3)
        seen = []
        self.assertEqual(modem.waitForNetworkCoverage(5, progress=lambda *a: seen.append(a)), 20)
        self.assertEqual(sim.commands.count('AT+CREG?'), 4)
        self.assertEqual([stat for stat, waited in seen], [2, 2, 2])

    def test_searching_for_too_long_times_out(self):
        sim, modem = self.connected('slow-registration', registration_polls=10 ** 6)
        with self.assertRaises(RegistrationTimeoutError) as caught:
            modem.waitForNetworkCoverage(0.2)
        self.assertEqual(caught.exception.stat, 2)


class SendTests(ModemCase):

    def assertSent(self, sim, number, text, charset, dcs):
        message = sim.messages[-1]
        self.assertEqual((message['number'], message['text']), (number, text))
        self.assertEqual((message['charset'], message['dcs']), (charset, dcs))

    def test_texts_arrive_intact_in_the_right_encoding(self):
        # (text, character set and TP-DCS in text mode, TP-DCS in PDU mode)
        cases = [(u'Hello @ 5$ _ \u00a3 \u00e9\u00c4\u00df bye', 'GSM', 0, 0),
                 (u'two\r\nlines', 'UCS2', 0, 0),
                 (u'{[~]} \\|^ \u20ac10', 'UCS2', 0, 0),
                 (u'\u00f2 \u039e', 'UCS2', 0, 0),
                 (u'\u041f\u0440\u0438\u0432\u0435\u0442 \U0001F600', 'UCS2', 8, 8)]
        for behaviour in ('text-only', 'healthy'):
            sim, modem = self.connected(behaviour)
            self.assertEqual(modem.pduMode, behaviour == 'healthy')
            for text, charset, text_dcs, pdu_dcs in cases:
                sms = modem.sendSms('+4915112345678', text)
                self.assertEqual(sms.status, SentSms.ENROUTE)
                self.assertEqual(sms.reference, sim.messages[-1]['reference'])
                if modem.pduMode:
                    self.assertSent(sim, '+4915112345678', text, None, pdu_dcs)
                else:
                    self.assertSent(sim, '+4915112345678', text, charset, text_dcs)

    def test_echo_and_unsolicited_lines_are_tolerated(self):
        sim, modem = self.connected('echo', 'unsolicited')
        self.assertEqual(modem.waitForNetworkCoverage(1), 20)
        for text in (u'OK', u'ERROR', u'\U0001F600'):
            self.assertEqual(modem.sendSms('555', text).reference,
                             sim.messages[-1]['reference'])
            self.assertEqual(sim.messages[-1]['text'], text)
        sms = modem.sendSms('555', 'x', waitForDeliveryReport=True, deliveryTimeout=2)
        self.assertEqual(sms.status, SentSms.DELIVERED)

    def test_send_error_names_command_and_code(self):
        sim, modem = self.connected('cms-error', cms_error=331)
        with self.assertRaises(CmsError) as caught:
            modem.sendSms('123', 'hi')
        self.assertEqual(caught.exception.code, 331)
        self.assertIn('AT+CMGS=12', str(caught.exception))
        self.assertIn('331', str(caught.exception))
        self.assertEqual(sim.messages, [])

    def test_too_long_text_is_refused_before_sending(self):
        # Text mode cannot link parts; PDU mode links at most 255.
        for behaviour, text in (('text-only', u'\u0416' * 71),
                                ('healthy', u'\u0416' * (255 * 67 + 1))):
            sim, modem = self.connected(behaviour)
            sent = len(sim.commands)
            with self.assertRaises(MessageTooLongError):
                modem.sendSms('123', text)
            with self.assertRaises(EncodingError):
                modem.sendSms('12"3', 'hi')
            self.assertEqual(sim.commands[sent:], [])

    def test_delivery_report_direct_and_stored(self):
        for behaviours in (['healthy'], ['report-cdsi']):
            sim, modem = self.connected(*behaviours)
            sms = modem.sendSms('123', 'hi', waitForDeliveryReport=True, deliveryTimeout=2)
            self.assertEqual(sms.status, SentSms.DELIVERED, behaviours)
            self.assertEqual(sms.report.reference, sms.reference)

    def test_failed_delivery_report(self):
        sim, modem = self.connected(report_status=0x41)
        sms = modem.sendSms('123', 'hi', waitForDeliveryReport=True, deliveryTimeout=2)
        self.assertEqual(sms.status, SentSms.FAILED)

    def test_missing_delivery_report_times_out(self):
        sim, modem = self.connected('no-report')
        with self.assertRaises(TimeoutException):
            modem.sendSms('123', 'hi', waitForDeliveryReport=True, deliveryTimeout=0.2)
        self.assertEqual(len(sim.messages), 1)

    def test_messages_are_recorded_as_json_lines(self):
        fd, path = tempfile.mkstemp(suffix='.jsonl')
        os.close(fd)
        self.addCleanup(os.remove, path)
        sim, modem = self.connected(record=path)
        modem.sendSms('123', u'\u20ac1')
        modem.sendSms('456', 'two')
        with open(path, encoding='utf-8') as f:
            records = [json.loads(line) for line in f]
        self.assertEqual([(r['number'], r['text'], r['reference']) for r in records],
                         [('123', u'\u20ac1', 1), ('456', 'two', 2)])

class ScriptedPeer(object):
    """The far end of a pty that answers each command line with ``answer(line)`` (raw bytes)."""

    def __init__(self, answer):
        self.master, slave = os.openpty()
        tty.setraw(slave)
        self.port = os.ttyname(slave)
        self.answer = answer
        self._slave = slave
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        line = b''
        while not self._stop.is_set():
            if not select.select([self.master], [], [], 0.02)[0]:
                continue
            try:
                data = os.read(self.master, 1024)
            except OSError:
                return
            for byte in data:
                if byte == 0x0D:
                    if line.strip(b'\x1b'):
                        os.write(self.master, self.answer(line.strip(b'\x1b').decode('latin-1')))
                    line = b''
                elif byte not in (0x0A, 0x1B):
                    line += bytes([byte])

    def close(self):
        # The thread ends first: a later pty may get the same descriptors.
        self._stop.set()
        self._thread.join()
        for fd in (self._slave, self.master):
            os.close(fd)


class ReplyTests(ModemCase):
    """What the modem says is believed only in the modem's own result lines."""

    TEXTS = [u'x\r\n+CMGS: 42\r\nOK\r\n', u'OK', u'ERROR', u'+CMGS: 7', u'a\rb\nc',
             u'line\r\n+CMS ERROR: 500\r\n', u'> ']

    def test_text_or_its_echo_is_never_taken_for_the_answer(self):
        for echo in ([], ['echo']):
            sim, modem = self.connected(*echo)
            for text in self.TEXTS:
                sms = modem.sendSms('+15551', text)
                self.assertEqual((sms.reference, sim.messages[-1]['text']),
                                 (sim.messages[-1]['reference'], text), (echo, text))
            sim, modem = self.connected('cms-error', *echo, cms_error=330)
            for text in self.TEXTS:
                with self.assertRaises(CmsError, msg=(echo, text)):
                    modem.sendSms('+15551', text)
            self.assertEqual(sim.messages, [])

    def test_odd_codes_and_numbers_raise_the_librarys_errors(self):
        replies = {'ATZ': '\r\n+CREG: \xb2\r\n\r\nOK\r\n', 'AT+CMEE?': '\r\n+CMEE: 1\r\n\r\nOK\r\n',
                   'AT+CPIN?': '\r\n+CME ERROR: \xb2\r\n'}
        peer = ScriptedPeer(lambda line: replies.get(line, '\r\nOK\r\n').encode('latin-1'))
        self.addCleanup(peer.close)
        modem = GsmModem(peer.port, commandTimeout=0.3)
        self.addCleanup(modem.close)
        with self.assertRaises(CommandError) as caught:
            modem.connect()
        self.assertEqual(caught.exception.code, '\xb2')

    def test_registration_replies_and_unsolicited_lines_of_every_form(self):
        # (lines before the OK of AT+CREG?, the stat read): n 0-2, with and
        # without the access technology, among unsolicited lines (+CREG of the
        # same length, a cell broadcast and its text)
        urc = '+CREG: 1,"00C3","0001A2B3",7'
        cases = [(['+CREG: 0,1'], 1),
                 (['+CREG: 2,5,"00C3","0001A2B3"'], 5),
                 (['+CREG: 2,1,"00C3","0001A2B3",7'], 1),
                 ([urc, '+CREG: 2,3,"00C3","0001A2B3",7', urc], 3),
                 (['+CREG: 1,"00C3","0001A2B3"', '+CREG: 1,2', '+CREG: 2'], 2),
                 (['+CREG: 2,1,,,7'], 1),
                 (['+CBM: 1,50,0,1,1\r\nOK', '+CREG: 0,1'], 1)]  # a cell broadcast saying "OK"
        for lines, stat in cases:
            replies = {'AT+CMEE?': '\r\n+CMEE: 1\r\n\r\nOK\r\n', 'AT+CPIN?': '\r\n+CPIN: READY\r\n\r\nOK\r\n',
                       'AT+CSQ': '\r\n+CSQ: 17,99\r\n\r\nOK\r\n',
                       'AT+CREG?': ''.join('\r\n%s\r\n' % line for line in lines) + '\r\nOK\r\n'}
            peer = ScriptedPeer(lambda line: replies.get(line, '\r\nOK\r\n').encode('latin-1'))
            self.addCleanup(peer.close)
            modem = GsmModem(peer.port, commandTimeout=0.3)
            self.addCleanup(modem.close)
            modem.connect()
            try:
                self.assertEqual(modem.waitForNetworkCoverage(0), 17, lines)
                self.assertIn(stat, (1, 5), lines)
            except (RegistrationError, RegistrationTimeoutError) as e:
                self.assertEqual(e.stat, stat, lines)
            modem.close()

    def test_a_timeout_names_the_command_left_unanswered(self):
        replies = {'AT+CMEE?': '\r\n+CMEE: 1\r\n\r\nOK\r\n', 'AT+CPIN?': '\r\n+CPIN: READY\r\n\r\nOK\r\n'}
        for silent in ('ATZ', 'ATE0', 'AT+CPIN?', 'AT+CMGF=0'):
            peer = ScriptedPeer(lambda line, silent=silent: b'' if line == silent else
                                replies.get(line, '\r\nOK\r\n').encode('latin-1'))
            self.addCleanup(peer.close)
            modem = GsmModem(peer.port, commandTimeout=0.2, startupTimeout=0.2)
            self.addCleanup(modem.close)
            with self.assertRaises(TimeoutException) as caught:
                modem.connect()
            self.assertEqual(caught.exception.command, silent)

    def test_modem_left_at_the_prompt_is_recovered_without_sending(self):
        sim, modem = self.connected('stuck-prompt', 'echo')
        self.assertEqual(sim.messages, [])
        self.assertEqual(len(sim.discarded), 1)
        self.assertTrue(sim.discarded[0].startswith('half-typed message '))
        modem.sendSms('123', 'after recovery')
        self.assertEqual([m['text'] for m in sim.messages], ['after recovery'])

    def test_a_send_broken_off_in_the_text_leaves_nothing_typed(self):
        # Half the body is written when Ctrl-C or a write time-out breaks the
        # send off; the next command must not become text of that message (in
        # text mode with echo its CR even brings a new "> ", as on real modems).
        for behaviours in (['healthy'], ['text-only'], ['text-only', 'echo']):
            for failure, raised in ((KeyboardInterrupt(), KeyboardInterrupt),
                                    (serial.SerialTimeoutException('Write timeout'), TimeoutException)):
                sim, modem = self.connected(*behaviours)
                port, broken = modem._serial, []

                def write(data, write=port.write, failure=failure):
                    if data.endswith(b'\x1a') and not broken:
                        broken.append(write(data[:len(data) // 2]))
                        raise failure
                    return write(data)
                port.write = write
                with self.assertRaises(raised):
                    modem.sendSms('123', 'broken off')
                modem.sendSms('456', 'intact')
                self.assertEqual([(m['number'], m['text']) for m in sim.messages], [('456', 'intact')])
                self.assertEqual(len(sim.discarded), 1, (behaviours, failure))

    def test_conversation_is_logged_with_the_pin_masked(self):
        sim, modem = self.open('pin', 'echo', pin='4321')
        with self.assertLogs('smsline_gsm', logging.DEBUG) as logs:
            modem.connect('4321')
            modem.sendSms('123', 'logged')
        text = '\n'.join(logs.output)
        self.assertNotIn('4321', text)
        for part in ('<- AT+CPIN="****"', '-> AT+CPIN="****"', '<- AT+CMGS=16', '-> +CMGS: 1'):
            self.assertIn(part, text)


class VanishingPort(object):
    """A pyserial port whose device goes away after ``calls`` calls; from
    then on each call fails the way pyserial's does on a vanished device."""

    open_port = serial.Serial

    def __init__(self, calls, *args, **kwargs):
        self._port = self.open_port(*args, **kwargs)
        self._calls = calls

    def _alive(self, failure):
        self._calls -= 1
        if self._calls < 0:
            raise failure

    @property
    def in_waiting(self):       # an ioctl
        self._alive(OSError(errno.EIO, 'Input/output error'))
        return self._port.in_waiting

    def read(self, size=1):
        self._alive(serial.SerialException('device disconnected'))
        return self._port.read(size)

    def write(self, data):
        self._alive(serial.SerialException('write failed'))
        return self._port.write(data)

    def reset_input_buffer(self):   # tcflush
        self._alive(termios.error(errno.EIO, 'Input/output error'))
        self._port.reset_input_buffer()

    def close(self):
        self._port.close()


class VanishingDeviceTests(ModemCase):

    def test_a_device_gone_at_any_point_raises_only_the_expected_errors(self):
        # The device goes away after 0, 1, 2, ... calls on the port, until the
        # whole bring-up and a long message with its reports went through.
        sim, modem = self.open()
        for calls in itertools.count():
            with mock.patch.object(smsline_gsm.modem.serial, 'Serial',
                                   functools.partial(VanishingPort, calls)):
                try:
                    modem.connect()
                    modem.sendSms('123', 'x' * 200, waitForDeliveryReport=True, deliveryTimeout=1)
                    break
                except (GsmModemException, serial.SerialException):
                    pass
                finally:
                    modem.close()
        self.assertGreater(calls, 20)


class SharingTests(ModemCase):

    def test_threads_sharing_a_modem_each_send_intact(self):
        sim, modem = self.connected('echo')
        errors = []

        def send(thread):
            try:
                for i in range(5):
                    modem.sendSms('+1555%d' % thread, 'thread %d msg %d' % (thread, i))
            except Exception as e:
                errors.append(e)
        threads = [threading.Thread(target=send, args=(n,)) for n in range(3)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(30)
        self.assertEqual(errors, [])
        self.assertEqual(sorted((m['number'], m['text']) for m in sim.messages),
                         sorted(('+1555%d' % t, 'thread %d msg %d' % (t, i))
                                for t in range(3) for i in range(5)))

    def test_port_is_opened_exclusively(self):
        sim, first = self.connected()
        second = GsmModem(sim.port)
        self.addCleanup(second.close)
        with self.assertRaises(serial.SerialException):
            second.connect()
        first.sendSms('123', 'still mine')
        self.assertEqual(len(sim.messages), 1)


class SimSafetyTests(ModemCase):

    def test_pin_errors_say_what_is_left(self):
        # (simulator options, PIN given, error, attempts left, AT+CPIN= sent)
        cases = [({}, None, PinRequiredError, 3, 0),
                 ({}, '9999', IncorrectPinError, 2, 1),
                 ({'pin_attempts': 1}, '9999', PukRequiredError, 10, 1),
                 ({'pin_attempts': 0}, '1234', PukRequiredError, 10, 0),
                 ({'behaviours': ['pin', 'no-cpinr']}, '9999', IncorrectPinError, None, 1)]
        for options, pin, error, left, entered in cases:
            smsline_gsm.modem._refused_pins.clear()
            options = dict(options)
            sim, modem = self.open(*options.pop('behaviours', ['pin']), **options)
            with self.assertRaises(error, msg=options) as caught:
                modem.connect(pin)
            self.assertEqual(caught.exception.attemptsLeft, left, options)
            self.assertEqual(len([c for c in sim.commands if c.startswith('AT+CPIN=')]), entered)

    def test_a_refused_pin_is_never_entered_again(self):
        sim, modem = self.open('pin', pin='4321')
        for _ in range(3):
            with GsmModem(sim.port, commandTimeout=1.0) as other:
                with self.assertRaises(IncorrectPinError):
                    other.connect('9999')
        self.assertEqual(sim.commands.count('AT+CPIN="9999"'), 1)
        modem.connect('4321')       # the right PIN still works, and clears the record
        modem.sendSms('123', 'unlocked')

    def test_malformed_pins_are_refused_before_the_port_is_opened(self):
        sim, modem = self.open('pin')
        for pin in ('1234\n', '123', '123456789', '12a4', '\u0661\u0662\u0663\u0664', ' 1234', 1234, b'1234'):
            with self.assertRaises(InvalidPinError, msg=repr(pin)):
                modem.connect(pin)
            self.assertFalse(modem.alive)
        self.assertEqual(sim.commands, [])


def bench(rounds=200):
    """Print how long connect and send take against the simulator."""
    with ModemSimulator() as sim:
        modem = GsmModem(sim.port)
        started = time.monotonic()
        modem.connect()
        print('connect: %.2f ms' % ((time.monotonic() - started) * 1000))
        for text in ('plain GSM text', u'emoji \U0001F600'):
            started = time.monotonic()
            for _ in range(rounds):
                modem.sendSms('+4915112345678', text)
            print('send %-16r %.3f ms each' % (text, (time.monotonic() - started) * 1000 / rounds))
        modem.close()


if __name__ == '__main__':
    bench()
