"""smsline as a package among others: which GSM library send_sms and
smsline-send use beside a gsmmodem library of the user's."""
import os
import subprocess
import sys
import tempfile
import unittest

from tests import support

VENV = os.path.join(support.ROOT, '.venv' if sys.version_info[:2] == (3, 6) else '.venv-%d.%d' % sys.version_info[:2])
# What a stand-in gsmmodem library's modem module holds: one that works (with
# a GsmModem of another signature, as python-gsmmodem-new's), one that fails.
WORKING_MODEM = ('class GsmModem(object):\n'
                 '    def __init__(self, port, baudrate=115200, smsReceivedCallbackFunc=None):\n'
                 '        raise RuntimeError("the stand-in gsmmodem was used")\n'
                 'class SentSms(object):\n'
                 '    ENROUTE, DELIVERED, FAILED = 0, 1, 2\n')
BROKEN_MODEM = 'import gsmmodem_transport\n'


def stand_in_gsmmodem(modem_text):
    """A directory holding a package gsmmodem whose modem module is `modem_text`."""
    root = tempfile.mkdtemp(prefix='smsline-gsmmodem-')
    os.mkdir(os.path.join(root, 'gsmmodem'))
    for name, text in (('__init__.py', ''), ('modem.py', modem_text)):
        with open(os.path.join(root, 'gsmmodem', name), 'w') as handle:
            handle.write(text)
    return root


def run(argv, path=None, stdin=None):
    env = dict(os.environ)
    env.pop('PYTHONPATH', None)     # the installed packages, not the source tree
    if path:
        env['PYTHONPATH'] = path
    return subprocess.run(argv, env=env, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)


class ModemLibraryChoiceTests(unittest.TestCase):
    """In the installed environment, with a stand-in gsmmodem on the path: a
    program's send_sms takes that gsmmodem, smsline-send always smsline_gsm."""

    def test_programs_take_gsmmodem_and_the_command_its_own(self):
        for label, modem_text in (('working', WORKING_MODEM), ('broken', BROKEN_MODEM), ('none', None)):
            with self.subTest(label):
                path = stand_in_gsmmodem(modem_text) if modem_text else None
                program = run([os.path.join(VENV, 'bin', 'python'), '-c',
                               'import smsline.send_sms as m; print(m.GsmModem.__module__)'], path)
                expected = {'working': 'gsmmodem.modem', 'none': 'smsline_gsm.modem'}.get(label)
                if expected:
                    self.assertEqual(program.stdout, expected + '\n', program.stderr)
                else:   # the user's broken library fails loudly, at line 7
                    self.assertIn('line 7, in <module smsline.send_sms>', program.stderr)
                    self.assertIn("No module named 'gsmmodem_transport'", program.stderr)
                sent = run([os.path.join(VENV, 'bin', 'smsline-send'), '--simulate', '+15551234567', 'hi'], path)
                self.assertEqual(sent.returncode, 0, sent.stderr)
                self.assertIn('simulator received: to=+15551234567 text=hi', sent.stdout)
                version = run([os.path.join(VENV, 'bin', 'smsline-send'), '--version'], path).stdout
                self.assertEqual(version.splitlines()[1], 'send_sms uses ' + (
                    "smsline_gsm, smsline's own (no gsmmodem library is installed)" if path is None else
                    'gsmmodem from %s/gsmmodem, installed beside smsline (smsline-send uses smsline_gsm)' % path))


if __name__ == '__main__':
    unittest.main()
