"""The benchmark suite runs end to end in its quick mode and writes every figure."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from tests import support

SUITE = os.path.join(support.ROOT, 'benchmarks', 'suite.py')
REFERENCE = os.path.join(support.ROOT, 'smsline', 'send_sms.py')

sys.path.insert(0, os.path.dirname(SUITE))
try:
    import suite
finally:
    sys.path.pop(0)

IN_MEMORY = [key for key, _ in suite.IN_MEMORY_CASES]


class QuickRunTest(unittest.TestCase):

    def test_quick_run_writes_every_case(self):
        work = tempfile.mkdtemp(prefix='smsline-bench-')
        self.addCleanup(shutil.rmtree, work, True)
        json_path = os.path.join(work, 'benchmarks.json')
        markdown_path = os.path.join(work, 'benchmarks.md')
        done = subprocess.run(
            [sys.executable, SUITE, '--quick', '--json', json_path, '--markdown', markdown_path,
             '--build-dir', os.path.join(work, 'build'), '--extension', support.EXTENSION],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=300)
        self.assertEqual(done.returncode, 0, done.stderr[-3000:])
        with open(json_path) as figures_file:
            figures = json.load(figures_file)

        contenders = figures['settings']['contenders']
        self.assertEqual(contenders[:2], ['smsline', 'python'])
        self.assertEqual(contenders[-1], 'floor')
        # Debian's cython3 (0.29) writes code that compiles up to 3.11.
        if shutil.which('cython3') and sys.version_info < (3, 12):
            self.assertIn('cython', contenders)
        cases = figures['cases']
        self.assertEqual(set(cases), set(IN_MEMORY) | {'import_total', 'import_own', 'end_to_end',
                                                      'end_to_end_3parts'})
        for key, entry in cases.items():
            # the floor is measured in memory and end to end, not imported
            timed = [name for name in contenders if name != 'floor' or not key.startswith('import')]
            self.assertEqual(sorted(entry['contenders']), sorted(timed), key)
            for name, stats in entry['contenders'].items():
                self.assertTrue(0 < stats['min'] <= stats['median'] <= stats['max'], (key, name, stats))
            self.assertEqual(sorted(entry['ratios']), sorted(timed[1:]), key)
        for key in IN_MEMORY:
            # every contender gave the same result, output and traceback line
            self.assertTrue(cases[key]['same_behaviour'], (key, cases[key].get('outcomes')))
        self.assertEqual(cases['send_sms_no_port']['outcome']['traceback_line'], 58)
        for key, parts in (('end_to_end', [1]), ('end_to_end_3parts', [3])):
            end = cases[key]
            self.assertEqual(end['messages_received'], end['messages_sent'])
            self.assertEqual(end['parts_per_message'], parts)
        self.assertGreater(figures['import_baseline']['inside']['median'], 0)

        memory = figures['memory']
        self.assertEqual(set(memory), set(IN_MEMORY))
        for key in IN_MEMORY:
            self.assertEqual(sorted(memory[key]), sorted(contenders), key)
        # The interpreter makes a frame per call, and the counter sees it;
        # with no port no stand-in runs, so no frame can be seen.
        self.assertGreaterEqual(memory['send_sms_1port']['python']['new_frames_per_call'], 1)
        self.assertIsNone(memory['send_sms_no_port']['python']['new_frames_per_call'])

        # A quick run only checks that everything runs: no verdicts, and the
        # build type of the extension it measured.
        self.assertEqual(figures['targets'], [])
        for part in (figures['machine']['cpu'], 'python/smsline', 'not judged in a quick run',
                     'extension build type RelWithDebInfo'):
            self.assertIn(part, done.stdout)
        self.assertNotRegex(done.stdout, r'\[(met|MISSED)\]')
        # The verdicts of a full run, from these figures.
        suite.evaluate_targets(figures)
        self.assertEqual(len(figures['targets']), 5 if 'cython' in contenders else 4)
        self.assertTrue(all(isinstance(target['met'], bool) for target in figures['targets']))
        with open(markdown_path) as markdown:
            self.assertIn('| case |', markdown.read())


class VersionTablesTest(unittest.TestCase):
    """The per-version tables and verdicts from the figures of one run per interpreter version."""

    @staticmethod
    def run_figures(version, counts):
        """A run's figures: instructions per call of each contender on two cases."""
        cases = {}
        for key, python in (('serial_ports_com256', False), ('serial_ports_com256_py', True)):
            per_contender = {name: value * (2 if python else 1) for name, value in counts.items()}
            cases[key] = {'contenders': {}, 'callees': 'Python' if python else 'C',
                          'instructions': per_contender,
                          'own_instructions': {'smsline': 100.0},
                          'instruction_ratios': {name: value / per_contender['smsline']
                                                 for name, value in per_contender.items() if name != 'smsline'}}
        return {'machine': {'python': version, 'cpu': 'cpu', 'nproc': 2, 'date': 'today', 'gcc': 'gcc',
                            'cython': 'Cython version 0.29.32'},
                'settings': {'cython_left_out': None if 'cython' in counts else 'Cython version 0.29.32 cannot build'},
                'cases': cases}

    def test_a_table_per_version_with_the_floor_and_the_verdicts(self):
        work = tempfile.mkdtemp(prefix='smsline-bench-')
        self.addCleanup(shutil.rmtree, work, True)
        runs = (('3.13.0', {'smsline': 1000.0, 'python': 2000.0, 'floor': 990.0}),
                ('3.9.18', {'smsline': 1000.0, 'python': 2000.0, 'cython': 3000.0, 'floor': 900.0}),
                ('3.10.13', {'smsline': 1000.0, 'python': 900.0, 'cython': 999.0, 'floor': 1000.0}))
        paths = []
        for version, counts in runs:
            paths.append(os.path.join(work, version + '.json'))
            with open(paths[-1], 'w') as out:
                json.dump(self.run_figures(version, counts), out)
        markdown = os.path.join(work, 'versions.md')
        done = subprocess.run([sys.executable, SUITE, '--versions-table'] + paths + ['--markdown', markdown],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(markdown) as written:
            self.assertEqual(written.read(), done.stdout)
        # numeric version order (3.10 after 3.9), one table each
        headings = [line for line in done.stdout.splitlines() if line.startswith('#### ')]
        self.assertEqual(headings, ['#### CPython 3.9.18', '#### CPython 3.10.13', '#### CPython 3.13.0'])
        sections = dict(zip(('3.9', '3.10', '3.13'), done.stdout.split('#### ')[1:]))
        rows = {version: [line.split(' | ') for line in text.splitlines() if line.startswith('| serial_ports')]
                for version, text in sections.items()}
        # case, callees, smsline, its own code, python and ratio, cython and ratio, floor and smsline over it
        self.assertEqual(rows['3.9'][0][1:], ['C', '1000', '100', '2000', '2.00', '3000', '3.00', '900', '1.111 |'])
        self.assertEqual(rows['3.13'][1][1:], ['Python', '2000', '100', '4000', '2.00', '-', '-', '1980', '1.010 |'])
        # the verdicts: Cython, the interpreter where the callees are C, the
        # floor within 3 % where they are Python
        self.assertIn('below Cython in instructions on every case: **met**', sections['3.9'])
        self.assertIn('within 3% of the C floor in instructions where the callees are Python: **missed**',
                      sections['3.9'])
        self.assertIn('below Cython in instructions on every case: **missed**', sections['3.10'])
        self.assertIn('below the interpreter in instructions where the callees are C: **missed**', sections['3.10'])
        self.assertIn('within 3% of the C floor in instructions where the callees are Python: **met**',
                      sections['3.13'])
        # no timed cases in these runs: no times table
        self.assertNotIn('median', done.stdout)
        self.assertIn('Cython left out on: 3.13 (Cython version 0.29.32 cannot build).', done.stdout)


class ReferenceLinesTest(unittest.TestCase):
    """The plain Python contender keeps the extension's line numbers."""

    def test_statements_sit_on_the_extension_lines(self):
        with open(REFERENCE) as source:
            lines = source.read().split('\n')
        expected = {
            1: 'from __future__ import print_function', 7: "if find_spec('gsmmodem'): from gsmmodem.modem import GsmModem, SentSms",
            8: 'else: from smsline_gsm.modem import GsmModem, SentSms',
            15: 'def serial_ports():', 23: "if sys.platform.startswith('win'):",
            24: "ports = ['COM%s' % (i + 1) for i in range(256)]", 27: "ports = glob.glob('/dev/tty[A-Za-z]*')",
            31: "raise EnvironmentError('Unsupported platform')", 34: 'for port in ports:',
            36: 's = serial.Serial(port)', 37: 's.close()', 38: 'result.append(port)',
            39: 'except (OSError, serial.SerialException):',
            45: 'def send_sms(phone_number: str, text: str) -> int:', 48: 'for port in serial_ports():',
            49: 'modem = GsmModem(port, BAUDRATE)', 51: 'modem.connect(PIN)',
            52: 'modem.waitForNetworkCoverage(30)', 53: 'print(f"Gsm Device Found on Port: {port}"); break',
            55: 'modem = _close_failed_probe(modem)',
            56: 'except BaseException: _close_failed_probe(modem); raise', 57: 'if modem is None:',
            58: 'raise Exception("Gsm Device Not Found") from _probe.failure', 60: 'print("Sending message now.")',
            61: 'sentSms = modem.sendSms(phone_number, text, waitForDeliveryReport=False, deliveryTimeout=30)',
            67: 'print(sentSms.status)', 68: 'return sentSms.status', 70: 'modem.close()',
        }
        for number, statement in sorted(expected.items()):
            self.assertEqual(lines[number - 1].strip(), statement, 'line %d' % number)


if __name__ == '__main__':
    unittest.main()
