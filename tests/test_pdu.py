"""The SMS PDU codec against PDUs worked out by hand from 3GPP TS 23.038 / 23.040."""
import datetime
import random
import unittest

from smsline_gsm import EncodingError, MessageTooLongError
from smsline_gsm.exceptions import TooManyPartsError
from smsline_gsm.pdu import (DCS_GSM7, DCS_UCS2, DELIVERED, FAILED, PENDING, Concat,
                          Reassembler, decode_status_report, decode_submit,
                          encode_status_report, encode_submit, gsm_decode, gsm_encode,
                          parse_status_report_text, reassemble, split_text,
                          status_report_text)

INTL = '+4917612345678'   # 0D 91 94 71 16 32 54 76 F8: 13 digits, swapped, F-padded
NATIONAL = '017612345'    # 09 81 10 67 21 43 F5: 9 digits, type unknown/ISDN
# 'aaaaaaaa' packed: E1 = 61 | (1 << 7), 70 = 61 >> 1 | (61 & 3) << 6, ...
A8 = 'E170381C0E87C3'

# (number, text, options, [(pdu, tpdu_length), ...])
SUBMIT_VECTORS = [
    # 11 = SUBMIT + VPF relative; MR 00; PID 00; DCS 00; VP A7 = 24 h;
    # UDL 0A septets; 'hellohello': E8 = 68 | (65 & 1) << 7, 32 = 65 >> 1 | (6C & 3) << 6, ...
    (INTL, 'hellohello', {},
     [('00' '11' '00' '0D91947116325476F8' '00' '00' 'A7' '0A' 'E8329BFD4697D9EC37', 24)]),
    # 31 = with TP-SRR; national number.
    (NATIONAL, 'hellohello', {'status_report': True},
     [('00' '31' '00' '098110672143F5' '00' '00' 'A7' '0A' 'E8329BFD4697D9EC37', 22)]),
    # 01 = no validity period, no VP octet.
    (INTL, 'hellohello', {'validity': None},
     [('00' '01' '00' '0D91947116325476F8' '00' '00' '0A' 'E8329BFD4697D9EC37', 23)]),
    # '€1' = 1B 65 31: 9B = 1B | (65 & 1) << 7, 72 = 65 >> 1 | (31 & 3) << 6, 0C = 31 >> 2.
    (NATIONAL, u'\u20ac1', {},
     [('00' '11' '00' '098110672143F5' '00' '00' 'A7' '03' '9B720C', 16)]),
    # UCS2: DCS 08, UDL in octets; Zhe 0416, U+1F600 as the pair D83D DE00.
    ('+1', u'\u0416\U0001F600', {},
     [('00' '11' '00' '0191F1' '00' '08' 'A7' '06' '0416D83DDE00', 15)]),
    # 161 septets: two parts, 71 = SUBMIT + VPF + SRR + UDHI; UDH 05 00 03 ref=42 total=2 seq.
    # 6 header octets + 1 fill bit = 7 septets, + 153 = UDL A0; the fill bit shifts the
    # first 'a' to C2, after which the rest packs as 'a' * 152.
    # Part 2: 7 + 8 septets = 0F; C4 = 62 << 1, then 'b' * 7 packed.
    (NATIONAL, 'a' * 153 + 'b' * 8, {'reference': 0x42, 'status_report': True},
     [('00' '71' '00' '098110672143F5' '00' '00' 'A7' 'A0' '050003420201' 'C2' + A8 * 19, 153),
      ('00' '71' '00' '098110672143F5' '00' '00' 'A7' '0F' '050003420202'
       'C4' '62B1582C168B01', 27)]),
    # UCS2 parts: 67 units each, no fill; part 2 holds 4 units, UDL 6 + 8 = 0E.
    ('+1', u'\u0416' * 71, {'reference': 7},
     [('00' '51' '00' '0191F1' '00' '08' 'A7' '8C' '050003070201' + '0416' * 67, 149),
      ('00' '51' '00' '0191F1' '00' '08' 'A7' '0E' '050003070202' + '0416' * 4, 23)]),
]

# SMSC part: 07 octets follow, 91, +447802000332 swapped (44 87 20 00 30 23);
# fo 06 (STATUS-REPORT), MR 2A, RA as INTL, SCTS 2024-01-15 10:30:00 +1 h
# (42 10 51 01 03 00 40: swapped digits, zone 04 quarters), DT 06:30:05 -3 h
# (42 10 51 60 03 50 29: zone 12 quarters, sign bit 3 set in the first semi-octet).
REPORT_TPDU = '06' '2A' '0D91947116325476F8' '42105101030040' '42105160035029'
SMSC = '07914487200030' '23'
ONE_HOUR = datetime.timezone(datetime.timedelta(hours=1))


class SubmitEncodingTests(unittest.TestCase):

    def test_hand_derived_pdus(self):
        for number, text, options, expected in SUBMIT_VECTORS:
            with self.subTest(text=text[:12], options=options):
                parts = encode_submit(number, text, **options)
                self.assertEqual([(p.pdu, p.tpdu_length) for p in parts], expected)
                self.assertEqual(u''.join(p.text for p in parts), text)

    def test_decoding_reads_back_every_field(self):
        for number, text, options, expected in SUBMIT_VECTORS:
            with self.subTest(text=text[:12], options=options):
                parts = [decode_submit(pdu) for pdu, _ in expected]
                self.assertEqual([p.tpdu_length for p in parts], [n for _, n in expected])
                self.assertEqual(set(p.number for p in parts), {number})
                self.assertEqual(reassemble(parts), (text, len(expected)))
                self.assertEqual(parts[0].status_report_requested,
                                 options.get('status_report', False))
                if len(parts) > 1:
                    self.assertEqual(parts[1].concat,
                                     Concat(options['reference'], len(parts), 2))

    def test_splits_never_break_an_escape_or_a_surrogate_pair(self):
        cases = [  # text, dcs, part lengths in characters
            ('a' * 160, DCS_GSM7, [160]),
            (u'\u20ac' * 80, DCS_GSM7, [80]),
            ('a' * 152 + u'\u20ac' + 'a' * 10, DCS_GSM7, [152, 11]),
            (u'\u0416' * 70, DCS_UCS2, [70]),
            (u'\U0001F600' * 35, DCS_UCS2, [35]),
            (u'\u0416' * 66 + u'\U0001F600' + 'x' * 5, DCS_UCS2, [66, 6]),
        ]
        for text, dcs, lengths in cases:
            with self.subTest(text=text[:3], length=len(text)):
                got_dcs, parts = split_text(text)
                self.assertEqual((got_dcs, [len(p) for p in parts]), (dcs, lengths))

    def test_255_parts_at_most_before_anything_is_built(self):
        for unit, per_part in ((u'a', 153), (u'\u0416', 67)):
            self.assertEqual(len(encode_submit('+1', unit * per_part * 255)), 255)
            with self.assertRaises(TooManyPartsError) as caught:
                encode_submit('+1', unit * (per_part * 255 + 1))
            self.assertIsInstance(caught.exception, MessageTooLongError)
            self.assertEqual((caught.exception.parts, caught.exception.max_parts), (256, 255))
            self.assertIn('at most 255', str(caught.exception))

    def test_what_cannot_be_sent_is_refused(self):
        for number, text, options in [('abc', 'x', {}), ('', 'x', {}), ('+', 'x', {}),
                                      ('1' * 21, 'x', {}), ('+1', b'x', {}),
                                      ('+1', u'\ud83d', {}), ('+1', 'x', {'reference': 256}),
                                      ('+1', 'x', {'validity': 300})]:
            with self.subTest(number=number, text=text, options=options):
                with self.assertRaises(EncodingError):
                    encode_submit(number, text, **options)

    def test_extension_table_round_trip(self):
        text = u'{}[]~\\|^\x0c\u20ac'
        self.assertEqual(gsm_encode(text)[::2], [0x1B] * 10)
        self.assertEqual(gsm_decode(gsm_encode(text)), text)


class SubmitDecodingErrorTests(unittest.TestCase):

    def test_malformed_pdus_raise_encoding_error(self):
        good = SUBMIT_VECTORS[0][3][0][0]
        for pdu in (good[:-2], good + '00', good[:4] + 'ZZ' + good[6:],
                    '00' + '12' + good[4:],     # MTI 10 is no SMS-SUBMIT
                    '0041000191F10008A70A05',   # header longer than the user data
                    '0011000191F10000A7A1' + '00' * 141):  # 161 septets
            with self.subTest(pdu=pdu[:20]):
                with self.assertRaises(EncodingError):
                    decode_submit(pdu)


class StatusReportTests(unittest.TestCase):

    def test_each_status_class(self):
        for st, outcome, reason in (('00', DELIVERED, 'received by the recipient'),
                                    ('21', PENDING, 'recipient busy'),
                                    ('46', FAILED, 'validity period expired'),
                                    ('80', FAILED, 'reserved status 0x80')):
            with self.subTest(st=st):
                report = decode_status_report(SMSC + REPORT_TPDU + st)
                self.assertEqual((report.message_reference, report.number, report.status),
                                 (0x2A, INTL, int(st, 16)))
                self.assertEqual((report.outcome, report.reason), (outcome, reason))
                self.assertEqual(report.sent, datetime.datetime(2024, 1, 15, 10, 30, 0,
                                                                tzinfo=ONE_HOUR))
                self.assertEqual(report.discharged, datetime.datetime(2024, 1, 15, 10, 30, 5,
                                                                      tzinfo=ONE_HOUR))
                self.assertEqual(report.discharged.utcoffset(), datetime.timedelta(hours=-3))

    def test_reports_written_for_the_simulator(self):
        sent = datetime.datetime(2024, 1, 15, 10, 30, 0, tzinfo=ONE_HOUR)
        discharged = datetime.datetime(2024, 1, 15, 6, 30, 5,
                                       tzinfo=datetime.timezone(datetime.timedelta(hours=-3)))
        self.assertEqual(encode_status_report(0x2A, INTL, 0x46, sent, discharged),
                         ('00' + REPORT_TPDU + '46', 26))
        line = status_report_text(0x2A, INTL, 0x46, sent, discharged)
        self.assertEqual(line, '6,42,"+4917612345678",145,"24/01/15,10:30:00+04",'
                               '"24/01/15,06:30:05-12",70')
        self.assertEqual(parse_status_report_text(line).discharged.utcoffset(),
                         datetime.timedelta(hours=-3))

    def test_smsc_part_is_recognised_from_the_announced_length(self):
        tpdu = REPORT_TPDU + '00'
        for pdu in (SMSC + tpdu, '00' + tpdu, tpdu):
            self.assertEqual(decode_status_report(pdu, len(tpdu) // 2).message_reference, 0x2A)
        for pdu, length in ((SMSC + tpdu, 24), (tpdu[:-2], None), ('00' + '01' + tpdu[2:], None)):
            with self.assertRaises(EncodingError):
                decode_status_report(pdu, length)

    def test_text_mode_lines(self):
        times = '"24/01/15,10:30:00+04","24/01/15,10:30:05+04"'
        for line, number in (('+CDS: 6,42,"+4917612345678",145,' + times + ',70', INTL),
                             ('+CDS: 6,42,"4917612345678",145,' + times + ',70', INTL),
                             ('+CMGR: "REC UNREAD",6,42,"017612345",129,' + times + ',70',
                              NATIONAL),
                             ('+CDS: 6,42,' + times + ',70', None)):
            with self.subTest(line=line):
                report = parse_status_report_text(line)
                self.assertEqual((report.message_reference, report.number, report.outcome),
                                 (42, number, FAILED))
                self.assertEqual(report.sent.utcoffset(), datetime.timedelta(hours=1))
        with self.assertRaises(EncodingError):
            parse_status_report_text('+CDS: 6,x,,,' + times + ',0')


class ReassemblyTests(unittest.TestCase):

    def test_long_texts_arrive_whole_in_any_order(self):
        gsm = (u'{Grüße} [€] ~|^\\ ' * 24)[:400]
        cyrillic = (u'Съешь же ещё этих булок ' * 9)[:200]
        for text in (gsm, cyrillic):
            parts = [decode_submit(p.pdu) for p in encode_submit('+1', text, reference=9)]
            count = len(parts)
            random.Random(1).shuffle(parts)
            collector = Reassembler()
            results = [collector.add(p) for p in parts]
            self.assertEqual(results[:-1], [None] * (count - 1))
            self.assertEqual(results[-1], (text, count))
            self.assertEqual(collector.incomplete, 0)
            with self.assertRaises(EncodingError):
                reassemble(parts[1:])

    def test_surrogate_pair_split_by_another_sender_is_joined(self):
        # No validity period (41), UCS2 with header: UDL 08, the pair's halves in two parts.
        parts = [decode_submit('0041000191F1000808050003010201D83D'),
                 decode_submit('0041000191F1000808050003010202DE00')]
        self.assertEqual(reassemble(parts), (u'\U0001F600', 2))
