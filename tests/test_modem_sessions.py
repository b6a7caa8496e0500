"""Randomised sessions: the modem library against the simulator's random trouble (Chaos).

Each seed connects and sends a few messages of one to three parts, each to
a number of its own.  The suite plays SEEDS; a long run is
``bash scripts/modem-sessions [FIRST [COUNT]]``.
"""
import collections
import random
import sys
import time
import unittest

import serial

from smsline_gsm import GsmModem, GsmModemException
from smsline_gsm.modem import log as library_log
from smsline_tools.modem_sim import Chaos, ModemSimulator

SEEDS = range(6)


def judge(sim, sends):
    """What went wrong in ``sends`` ((number, text, outcome), each to a number of its own),
    judged by what the simulator received: a send reported as sent arrived once and whole
    with the references it was given; one that raised did not arrive, or its exception
    lists the parts that went out (and one more may have, if it says so); no part arrived twice.
    """
    problems = []
    for number, text, outcome in sends:
        parts = [part for part in sim.parts if part['number'] == number]
        went = [part['reference'] for part in parts]
        sequence = [part['concat'][2] if part['concat'] else 1 for part in parts]
        if len(set(sequence)) != len(sequence):
            problems.append('%s: a part arrived twice (parts %s)' % (number, sequence))
        if isinstance(outcome, BaseException):
            told = getattr(outcome, 'partsSent', [])
            if told != went and not (getattr(outcome, 'unconfirmed', False) and told == went[:-1]):
                problems.append('%s: %r (partsSent %r), but the modem accepted parts %r'
                                % (number, outcome, told, went))
        elif ([m['text'] for m in sim.messages if m['number'] == number] != [text]
              or getattr(outcome, 'references', went) != went):
            problems.append('%s: reported sent as %r, but the modem accepted parts %r'
                            % (number, outcome, went))
    return problems


class SessionModem(GsmModem):
    startupAttemptTimeout = 0.2
    pollInterval = 0.02
    quietTime = 0.05
    busyRetryDelay = 0.05
    busyRetryTime = 1.0

    def __init__(self, port):
        super(SessionModem, self).__init__(port, commandTimeout=0.3, startupTimeout=1.0,
                                           sendTimeout=0.5)


# Words that look like answers, for texts that must never pass for one.
_WORDS = ('OK', 'ERROR', '+CMGS: 7', '> ', 'RING', 'hello', u'\u00e9t\u00e9', '@', '{x}')


def session(seed):
    """Play the session of ``seed``; returns (sends made, problems found, whether it connected)."""
    rnd = random.Random(seed)
    pdu_mode = rnd.random() < 0.6
    sim = ModemSimulator(['healthy' if pdu_mode else 'text-only', 'chaos'],
                         chaos=Chaos(seed, rate=0.08, command_timeout=0.3, send_timeout=0.5))
    sim.start()
    modem = SessionModem(sim.port)
    sends, connected = [], False
    try:
        for _ in range(3):
            try:
                modem.connect()
                modem.waitForNetworkCoverage(2)
                connected = True
                break
            except (GsmModemException, serial.SerialException):
                modem.close()
        for i in range(rnd.randint(3, 6) if connected else 0):
            parts = rnd.choice((1, 1, 2, 3)) if pdu_mode else 1
            text = u''
            while len(text) < (130, 280, 420)[parts - 1]:
                text += rnd.choice(_WORDS) + ' '
            number = '+1555%03d%04d' % (i, seed % 10000)
            try:
                outcome = modem.sendSms(number, text)
            except (GsmModemException, serial.SerialException) as e:
                outcome = e
            sends.append((number, text, outcome))
    finally:
        modem.close()
        sim.settle()
        sim.stop()
    return sends, judge(sim, sends), connected


class RandomSessionTests(unittest.TestCase):

    def test_random_sessions_never_lie_nor_send_twice(self):
        library_log.disabled = True     # its warnings: a part failed after others went out
        self.addCleanup(setattr, library_log, 'disabled', False)
        outcomes = []
        for seed in SEEDS:
            sends, problems, connected = session(seed)
            self.assertEqual(problems, [], 'seed %d' % seed)
            outcomes += [outcome for _, _, outcome in sends]
        failed = [outcome for outcome in outcomes if isinstance(outcome, Exception)]
        self.assertGreater(len(outcomes), 2 * len(failed))   # the trouble lets most through


def main(first=0, count=300):
    """Play seeds first.. first+count-1; print the problems and the figures."""
    library_log.disabled = True
    figures, started, problems = collections.Counter(), time.monotonic(), 0
    for seed in range(first, first + count):
        sends, found, connected = session(seed)
        figures.update(sessions=1, connected=connected, sends=len(sends))
        for _, _, outcome in sends:
            figures[type(outcome).__name__] += 1
            figures['unconfirmed'] += bool(getattr(outcome, 'unconfirmed', False))
        for problem in found:
            print('seed %d: %s' % (seed, problem))
        problems += len(found)
    print('seeds %d-%d: %s; problems %d; %.0f s' % (first, first + count - 1, ', '.join(
        '%s %d' % item for item in sorted(figures.items())), problems, time.monotonic() - started))
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main(*[int(arg) for arg in sys.argv[1:3]]))
