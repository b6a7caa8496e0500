"""The modem simulator as a separate program, and the raw protocol it speaks."""
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest

import serial

from smsline_gsm import GsmModem
from smsline_tools.modem_sim import ModemSimulator


def read_until(port, marker, timeout=2.0):
    deadline = time.monotonic() + timeout
    data = b''
    while marker not in data and time.monotonic() < deadline:
        data += port.read(port.in_waiting or 1)
    return data


class SimulatorProtocolTests(unittest.TestCase):

    def setUp(self):
        self.sim = ModemSimulator(behaviours=['healthy'])
        self.port = serial.Serial(self.sim.start(), 115200, timeout=0.05)
        self.addCleanup(self.sim.stop)
        self.addCleanup(self.port.close)

    def command(self, text, marker=b'OK\r\n'):
        self.port.write(text)
        return read_until(self.port, marker)

    def test_echo_until_ate0_and_framed_replies(self):
        self.assertEqual(self.command(b'AT\r'), b'AT\r\r\nOK\r\n')
        self.assertEqual(self.command(b'ATE0\r'), b'ATE0\r\r\nOK\r\n')
        self.assertEqual(self.command(b'AT+CSQ\r'), b'\r\n+CSQ: 20,99\r\n\r\nOK\r\n')
        self.assertEqual(self.command(b'AT+NOPE\r', b'ERROR\r\n'), b'\r\nERROR\r\n')

    def test_read_and_test_commands_answer_with_their_values(self):
        # (command, the information line of its answer; None: OK alone)
        cases = [(b'AT+CSCA?', b'+CSCA: "+15550000000",145'),
                 (b'AT+CSCS=?', b'+CSCS: ("GSM","IRA","UCS2")'),
                 (b'AT+CPMS=?', b'+CPMS: ("SM","ME"),("SM","ME"),("SM","ME")'),
                 (b'AT+CNMI=?', b'+CNMI: (0-2),(0-3),(0,2),(0-2),(0,1)'),
                 (b'AT+CMGF=?', b'+CMGF: (0,1)'), (b'AT+CFUN?', b'+CFUN: 1'),
                 (b'AT+CSCA=?', None), (b'AT+CMGS=?', None)]
        self.command(b'ATE0\r')
        for text, line in cases:
            self.assertEqual(self.command(text + b'\r'),
                             (b'\r\n' + line + b'\r\n' if line else b'') + b'\r\nOK\r\n', text)
        self.command(b'AT+CSCA=""\r')    # no service centre stored: OK alone
        self.assertEqual(self.command(b'AT+CSCA?\r'), b'\r\nOK\r\n')

    def test_escape_aborts_and_backspace_edits(self):
        self.command(b'ATE0\r')
        self.command(b'AT+CMGF=1\r')
        self.command(b'AT+CSCS="GSM"\r')
        self.assertEqual(self.command(b'AT+CMGS="123"\r', b'> '), b'\r\n> ')
        self.assertEqual(self.command(b'abc\x1b'), b'\r\nOK\r\n')
        self.command(b'AT+CMGS="123"\r', b'> ')
        self.assertIn(b'+CMGS: 1', self.command(b'abx\x08c\x1a'))
        self.assertEqual([m['text'] for m in self.sim.messages], ['abc'])


class SimulatorSituationTests(unittest.TestCase):
    """The situations a client must cope with, spoken raw."""

    def open(self, *behaviours, **options):
        sim = ModemSimulator(behaviours=list(behaviours), **options)
        port = serial.Serial(sim.start(), 115200, timeout=0.05)
        self.addCleanup(sim.stop)
        self.addCleanup(port.close)
        return sim, lambda text, marker=b'OK\r\n', wait=2.0: (port.write(text),
                                                             read_until(port, marker, wait))[1]

    def test_stuck_at_the_prompt_until_escape_or_ctrl_z(self):
        for end, sent in ((b'\x1b', []), (b'\x1a', ['half-typed message ATZ\r'])):
            sim, command = self.open('stuck-prompt')
            command(b'ATZ\r', b'ATZ\r')
            command(end)
            self.assertEqual([m['text'] for m in sim.messages], sent)
            self.assertEqual(sim.discarded, [] if sent else ['half-typed message ATZ\r'])
            self.assertIn(b'OK', command(b'AT\r'))

    def test_identification_answers_as_a_modem_does(self):
        # (behaviours, command, the exact answer with echo off)
        cases = [((), b'AT+CGMI', b'\r\nSMSLINE\r\n\r\nOK\r\n'),
                 ((), b'AT+CGMM', b'\r\nSIMULATED GSM MODEM\r\n\r\nOK\r\n'),
                 ((), b'AT+CGMR', b'\r\nRevision: smsline-sim 1.0\r\n\r\nOK\r\n'),
                 ((), b'AT+CGSN', b'\r\n352099001761481\r\n\r\nOK\r\n'),
                 ((), b'AT+CIMI', b'\r\n001010123456789\r\n\r\nOK\r\n'),
                 (('pin',), b'AT+CIMI', b'\r\n+CME ERROR: 11\r\n'),
                 ((), b'AT+COPS?', b'\r\n+COPS: 0,0,"TEST NETWORK"\r\n\r\nOK\r\n'),
                 (('denied',), b'AT+COPS?', b'\r\n+COPS: 0\r\n\r\nOK\r\n'),
                 (('slow-registration',), b'AT+COPS?', b'\r\n+COPS: 0\r\n\r\nOK\r\n')]
        for behaviours, text, answer in cases:
            sim, command = self.open(*behaviours)
            command(b'ATE0\r')
            command(b'AT+CMEE=1\r')
            self.assertEqual(command(text + b'\r', answer[-6:]), answer, (behaviours, text))
        # Asking for the operator takes no registration poll away.
        sim, command = self.open('slow-registration', registration_polls=1)
        command(b'AT+COPS?\r')
        self.assertIn(b'+CREG: 0,2', command(b'AT+CREG?\r'))
        self.assertIn(b'+CREG: 0,1', command(b'AT+CREG?\r'))

    def test_recorded_modem_behaviours(self):
        # (profile, commands, the answer to the last one)
        cases = [('pin-lock-all', [b'ATZ'], b'ATZ\r\r\n+CME ERROR: 11\r\n'),
                 ('pin-lock-all', [b'ATE0', b'AT+CPIN?'],     # echo stays on
                  b'AT+CPIN?\r\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n'),
                 ('pin-lock-few', [b'ATE0', b'AT+CMEE=1', b'AT+CMEE?'], b'\r\n+CME ERROR: 11\r\n'),
                 ('cpin-no-ok', [b'ATE0', b'AT+CPIN?'], b'\r\n+CPIN: SIM PIN\r\r\n'),
                 ('busy-after-reset', [b'ATE0'], b'ATE0\r\r\n+CME ERROR: 515\r\n'),
                 ('sim-busy-after-pin', [b'ATE0', b'AT+CPIN="1234"', b'AT+CPIN?'],
                  b'\r\n+CME ERROR: 14\r\n'),
                 ('command-not-support', [b'ATE0', b'AT+CMGF=?'], b'\r\nCOMMAND NOT SUPPORT\r\n')]
        for profile, commands, answer in cases:
            sim, command = self.open(profile=profile)
            for text in commands[:-1]:
                command(text + b'\r', b'\x00', 0.2)     # whatever it answers
            self.assertEqual(command(commands[-1] + b'\r', answer[-4:]), answer, profile)

    def test_pin_attempts_run_out_into_puk(self):
        sim, command = self.open('pin', pin='1111', pin_attempts=2, puk='87654321')
        self.assertIn(b'+CPINR: SIM PIN,2,3', command(b'AT+CPINR="SIM PIN"\r'))
        for left in (1, 0):
            command(b'AT+CMEE=1\r')
            self.assertIn(b'+CME ERROR: 16', command(b'AT+CPIN="2222"\r', b'\r\n+CME'))
            self.assertIn(b'+CPINR: SIM PIN,%d,3' % left, command(b'AT+CPINR\r'))
        self.assertIn(b'+CPIN: SIM PUK', command(b'AT+CPIN?\r'))
        self.assertIn(b'+CME ERROR: 12', command(b'AT+CPIN="1111"\r', b'12\r\n'))
        self.assertIn(b'OK', command(b'AT+CPIN="87654321","4444"\r'))
        self.assertIn(b'+CPIN: READY', command(b'AT+CPIN?\r'))
        sim, command = self.open('pin', 'no-cpinr')
        self.assertIn(b'ERROR', command(b'AT+CPINR\r', b'ERROR\r\n'))

    def test_line_break_in_a_text_is_echoed_with_a_new_prompt(self):
        sim, command = self.open('healthy')
        command(b'AT+CMGF=1\r')
        command(b'AT+CMGS="123"\r', b'> ')
        self.assertEqual(command(b'one\rtwo\x1a', b'OK\r\n'),
                         b'one\r\n> two\r\n+CMGS: 1\r\n\r\nOK\r\n')

    def test_unwritable_record_path_fails_at_start(self):
        path = os.path.join(tempfile.gettempdir(), 'no-such-dir-smsline', 'record.jsonl')
        with self.assertRaises(OSError):
            ModemSimulator(record=path).start()
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        done = subprocess.run([sys.executable, '-m', 'smsline_tools.modem_sim', '--record', path],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=env, universal_newlines=True, timeout=30)
        self.assertEqual((done.returncode, done.stdout), (1, ''))
        self.assertIn('cannot start', done.stderr)


class SimulatorProgramTests(unittest.TestCase):

    def start(self, *args):
        env = dict(os.environ)
        env['PYTHONPATH'] = os.pathsep.join(sys.path)
        env['LC_ALL'] = 'C'     # no locale: the record is UTF-8 all the same
        proc = subprocess.Popen([sys.executable, '-m', 'smsline_tools.modem_sim'] + list(args),
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env,
                                universal_newlines=True)
        self.addCleanup(proc.stdout.close)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        first = proc.stdout.readline().split()
        self.assertEqual(first[0], 'PORT')
        return proc, first[1]

    def test_records_and_exits_after_messages(self):
        fd, record = tempfile.mkstemp(suffix='.jsonl')
        os.close(fd)
        self.addCleanup(os.remove, record)
        proc, port = self.start('--behaviour', 'pin', '--pin', '1111', '--record', record,
                                '--exit-after-messages', '1')
        modem = GsmModem(port)
        modem.connect(pin='1111')
        modem.sendSms('+4917', u'Gr\u00fc\u00dfe \U0001F600')
        modem.close()
        self.assertEqual(proc.wait(10), 0)
        announced = json.loads(proc.stdout.readline().split(' ', 1)[1])
        with open(record, encoding='utf-8') as f:
            recorded = json.loads(f.readline())
        self.assertEqual(announced, recorded)
        self.assertEqual((recorded['number'], recorded['text'], recorded['reference']),
                         ('+4917', u'Gr\u00fc\u00dfe \U0001F600', 1))
        proc.stdin.close()

    def test_closing_stdin_stops_it(self):
        proc, port = self.start()
        proc.stdin.close()
        self.assertEqual(proc.wait(10), 0)
