"""SMS PDUs: building SMS-SUBMIT parts, reading SMS-SUBMIT and status reports.

A pure codec (3GPP TS 23.038 alphabets, TS 23.040 TPDUs, the hex form of
TS 27.005 PDU mode); it never touches a port.  A text goes out in the GSM
7-bit default alphabet when every character is in it (extension characters
as ESC plus their code) and as UCS2 (UTF-16BE) otherwise.  A text too long
for one message is split into concatenated parts that carry a user-data
header; splitting never separates an escape sequence or a surrogate pair.

Text or numbers that cannot go into a message, and PDUs that cannot be read,
raise EncodingError; a text that needs more than 255 parts raises its
subclass TooManyPartsError, before any PDU is built.
"""
import binascii
import collections
import csv
import datetime
import re

from .exceptions import EncodingError, TooManyPartsError

__all__ = ['DCS_GSM7', 'DCS_8BIT', 'DCS_UCS2', 'VALIDITY_24H', 'MAX_PARTS',
           'DELIVERED', 'PENDING', 'FAILED', 'SubmitPart', 'Concat',
           'SmsSubmit', 'SmsStatusReport', 'Reassembler', 'gsm_septets',
           'gsm_encode', 'gsm_decode', 'pack_septets', 'unpack_septets',
           'split_text', 'dialled_number', 'encode_address', 'encode_submit', 'decode_submit',
           'decode_status_report', 'parse_status_report_text',
           'encode_status_report', 'status_report_text', 'reassemble',
           'classify_status', 'status_reason']

# The GSM 7-bit default alphabet, indexed by code; 0x1B escapes to the
# extension table, whose characters therefore take two septets.
GSM_BASIC = (u'@\u00a3$\u00a5\u00e8\u00e9\u00f9\u00ec\u00f2\u00c7\n\u00d8\u00f8\r\u00c5\u00e5'
             u'\u0394_\u03a6\u0393\u039b\u03a9\u03a0\u03a8\u03a3\u0398\u039e\x1b\u00c6\u00e6\u00df\u00c9'
             u' !"#\u00a4%&\'()*+,-./0123456789:;<=>?'
             u'\u00a1ABCDEFGHIJKLMNOPQRSTUVWXYZ\u00c4\u00d6\u00d1\u00dc\u00a7'
             u'\u00bfabcdefghijklmnopqrstuvwxyz\u00e4\u00f6\u00f1\u00fc\u00e0')
GSM_EXTENSION = {u'\x0c': 0x0A, u'^': 0x14, u'{': 0x28, u'}': 0x29, u'\\': 0x2F,
                 u'[': 0x3C, u'~': 0x3D, u']': 0x3E, u'|': 0x40, u'\u20ac': 0x65}
ESC = 0x1B
_GSM_SEPTETS = dict((ch, (code,)) for code, ch in enumerate(GSM_BASIC) if code != ESC)
_GSM_SEPTETS.update((ch, (ESC, code)) for ch, code in GSM_EXTENSION.items())
_GSM_EXTENDED = dict((code, ch) for ch, code in GSM_EXTENSION.items())

# TP-DCS values this codec writes: the general data coding group, no class.
DCS_GSM7 = 0x00
DCS_8BIT = 0x04
DCS_UCS2 = 0x08

# TP-VP in relative form: 0xA7 is 12 h + (0xA7 - 143) * 30 min = 24 h.
VALIDITY_24H = 0xA7

# One message holds 140 octets of user data: 160 septets or 70 UCS2 units.
# A part of a concatenated message gives 6 of them to the header
# (05 00 03 ref total seq); GSM text then starts on the next septet
# boundary after one fill bit: (140 - 6) * 8 - 1 = 1071 bits = 153 septets.
USER_DATA_OCTETS = 140
SINGLE_SEPTETS = 160
SINGLE_UNITS = 70
PART_SEPTETS = 153
PART_UNITS = 67
MAX_PARTS = 255     # the header's total and sequence number are one octet

# TP-MTI, TP-VPF, TP-SRR and TP-UDHI in the first octet.
_MTI_MASK = 0x03
_MTI_SUBMIT = 0x01
_MTI_STATUS_REPORT = 0x02
_VPF_RELATIVE = 0x10
_SRR = 0x20
_UDHI = 0x40

# Type of address: international number (ISDN plan), unknown (ISDN plan),
# and the type-of-number value of an alphanumeric address.
TOA_INTERNATIONAL = 0x91
TOA_UNKNOWN = 0x81
_TON_ALPHANUMERIC = 5

_IEI_CONCAT_8 = 0x00
_IEI_CONCAT_16 = 0x08

# Semi-octet digits of an address; 0xF pads an odd count.
_BCD_DIGITS = u'0123456789*#abc'
_NUMBER = re.compile(r'^(\+?)([0-9*#]{1,20})$')
_NUMBER_SEPARATORS = re.compile(r'[\s\-().]')
_TEXT_TIME = re.compile(r'^(\d\d)/(\d\d)/(\d\d),(\d\d):(\d\d):(\d\d)([+-]\d\d?)?$')

# What a status report's TP-ST says about the message.
DELIVERED = 'delivered'    # transaction completed (0x00-0x1F)
PENDING = 'pending'        # temporary error, the service centre is still trying (0x20-0x3F)
FAILED = 'failed'          # the service centre has given up (0x40-0x7F; reserved values too)

_STATUS_REASONS = {
    0x00: 'received by the recipient',
    0x01: 'forwarded to the recipient, delivery not confirmed',
    0x02: 'replaced by the service centre',
    0x20: 'congestion', 0x21: 'recipient busy', 0x22: 'no response from the recipient',
    0x23: 'service rejected', 0x24: 'quality of service not available',
    0x25: 'error in the recipient',
    0x40: 'remote procedure error', 0x41: 'incompatible destination',
    0x42: 'connection rejected by the recipient', 0x43: 'not obtainable',
    0x44: 'quality of service not available', 0x45: 'no interworking available',
    0x46: 'validity period expired', 0x47: 'deleted by the sender',
    0x48: 'deleted by the service centre', 0x49: 'message does not exist',
    0x60: 'congestion', 0x61: 'recipient busy', 0x62: 'no response from the recipient',
    0x63: 'service rejected', 0x64: 'quality of service not available',
    0x65: 'error in the recipient',
}


# ---- results ----------------------------------------------------------

SubmitPart = collections.namedtuple('SubmitPart', 'pdu tpdu_length text')
SubmitPart.__doc__ = """One SMS-SUBMIT to send: ``pdu`` is the hex for after the prompt (SMSC
part "00" first), ``tpdu_length`` the octet count for AT+CMGS=<n>, ``text``
the piece of the message it carries."""

Concat = collections.namedtuple('Concat', 'reference total seq')
Concat.__doc__ = """A concatenation header: the message reference, the part count and
this part's number (from 1)."""


class SmsSubmit(collections.namedtuple('SmsSubmit', (
        'first_octet', 'message_reference', 'number', 'pid', 'dcs', 'validity',
        'header', 'concat', 'text', 'tpdu_length'))):
    """A decoded SMS-SUBMIT.

    ``validity`` is the TP-VP octet (relative), its 7 octets as bytes
    (enhanced or absolute), or None; ``header`` lists the user-data header's
    (IEI, bytes) elements; ``concat`` is a Concat or None; ``text`` is str,
    or bytes for 8-bit data; ``tpdu_length`` counts the octets after the
    SMSC part, as AT+CMGS=<n> must.
    """
    __slots__ = ()

    @property
    def status_report_requested(self):
        return bool(self.first_octet & _SRR)


class SmsStatusReport(collections.namedtuple('SmsStatusReport', (
        'first_octet', 'message_reference', 'number', 'sent', 'discharged', 'status'))):
    """A decoded SMS-STATUS-REPORT, from a PDU or a text-mode +CDS line.

    ``message_reference`` is the TP-MR of the message it reports on, as
    +CMGS gave it; ``number`` the recipient; ``sent`` (the service
    centre's time stamp) and ``discharged`` are aware datetimes, or None
    when the modem gave a time that is not one; ``status`` is TP-ST.
    """
    __slots__ = ()

    @property
    def outcome(self):
        return classify_status(self.status)

    @property
    def reason(self):
        return status_reason(self.status)


def classify_status(status):
    """DELIVERED, PENDING or FAILED for a TP-ST value.

    Values from 0x80 up are reserved; a report that does not say the
    message arrived is not taken as a delivery, so they count as FAILED.
    """
    if 0 <= status < 0x20:
        return DELIVERED
    if 0x20 <= status < 0x40:
        return PENDING
    return FAILED


def status_reason(status):
    """What a TP-ST value means, in words."""
    if status in _STATUS_REASONS:
        return _STATUS_REASONS[status]
    if (status & 0x70) in (0x10, 0x30, 0x50, 0x70) and status < 0x80:
        return 'service centre specific status 0x%02X' % status
    return 'reserved status 0x%02X' % status


# ---- alphabets and septets ---------------------------------------------

def gsm_septets(text):
    """Septets ``text`` takes in the GSM 7-bit alphabet; None if it is not GSM text."""
    count = 0
    for ch in text:
        septets = _GSM_SEPTETS.get(ch)
        if septets is None:
            return None
        count += len(septets)
    return count


def gsm_encode(text):
    """The septet codes of ``text``, extension characters as ESC and their code."""
    codes = []
    for ch in text:
        septets = _GSM_SEPTETS.get(ch)
        if septets is None:
            raise EncodingError('%r is not in the GSM 7-bit alphabet' % ch)
        codes.extend(septets)
    return codes


def gsm_decode(codes):
    """Text from septet codes.  An escape to a code the extension table lacks
    reads as the basic character, and a lone escape at the end as a space."""
    chars = []
    escaped = False
    for code in codes:
        if escaped:
            chars.append(_GSM_EXTENDED.get(code) or GSM_BASIC[code])
            escaped = False
        elif code == ESC:
            escaped = True
        else:
            chars.append(GSM_BASIC[code])
    if escaped:
        chars.append(u' ')
    return u''.join(chars)


def pack_septets(codes, fill_bits=0):
    """Septets packed low bits first, after ``fill_bits`` zero bits."""
    value = 0
    for i, code in enumerate(codes):
        value |= (code & 0x7F) << (fill_bits + 7 * i)
    return value.to_bytes((fill_bits + 7 * len(codes) + 7) // 8, 'little')


def unpack_septets(data, count, fill_bits=0):
    """``count`` septets from packed ``data`` whose first ``fill_bits`` bits are fill."""
    if fill_bits + 7 * count > 8 * len(data):
        raise EncodingError('%d septets do not fit in %d octets of user data' % (count, len(data)))
    value = int.from_bytes(bytes(data), 'little') >> fill_bits
    return [(value >> (7 * i)) & 0x7F for i in range(count)]


def _fill_bits(header_octets):
    """Zero bits after a user-data header so that GSM text starts on a septet boundary."""
    return (7 - (header_octets * 8) % 7) % 7


def _ucs2_units(ch):
    point = ord(ch)
    if 0xD800 <= point <= 0xDFFF:
        raise EncodingError('a lone surrogate (U+%04X) cannot be sent' % point)
    return 2 if point > 0xFFFF else 1


# ---- splitting ------------------------------------------------------------

def split_text(text):
    """The TP-DCS and the parts ``text`` goes out in: ``(dcs, [str, ...])``.

    GSM 7-bit (DCS_GSM7) when every character is in that alphabet, else
    UCS2 (DCS_UCS2).  One part holds 160 septets or 70 UCS2 units; a longer
    text is cut into parts of at most 153 septets or 67 units, between
    characters, so that an extension character's two septets and a
    surrogate pair's two units stay together.  More than MAX_PARTS parts
    raise TooManyPartsError.
    """
    if not isinstance(text, str):
        raise EncodingError('message text must be str, not %s' % type(text).__name__)
    if gsm_septets(text) is not None:
        dcs, unit, single, per_part = DCS_GSM7, 'GSM 7-bit septets', SINGLE_SEPTETS, PART_SEPTETS
        sizes = [len(_GSM_SEPTETS[ch]) for ch in text]
    else:
        dcs, unit, single, per_part = DCS_UCS2, 'UCS2 code units', SINGLE_UNITS, PART_UNITS
        sizes = [_ucs2_units(ch) for ch in text]
    total = sum(sizes)
    if total <= single:
        return dcs, [text]
    parts = []
    start = used = 0
    for i, size in enumerate(sizes):
        if used + size > per_part:
            parts.append(text[start:i])
            start, used = i, 0
        used += size
    parts.append(text[start:])
    if len(parts) > MAX_PARTS:
        raise TooManyPartsError(total, MAX_PARTS * per_part, unit, len(parts), MAX_PARTS)
    return dcs, parts


# ---- SMS-SUBMIT -----------------------------------------------------------

def dialled_number(number):
    """``number`` as it is dialled: spaces, dashes, dots and brackets dropped.

    What is left must be 1 to 20 digits (``*`` and ``#`` allowed) after an
    optional ``+``; otherwise EncodingError.
    """
    dialled = _NUMBER_SEPARATORS.sub('', str(number))
    if _NUMBER.match(dialled) is None:
        raise EncodingError('%r is not a phone number (digits, optionally a leading +)'
                            % (number,))
    return dialled


def encode_address(number):
    """TP-DA of a phone number: digit count, type of address, swapped semi-octets.

    A leading '+' makes it international (0x91), anything else is sent as
    dialled (0x81); the number is read as dialled_number() reads it.
    """
    plus, digits = _NUMBER.match(dialled_number(number)).groups()
    nibbles = [_BCD_DIGITS.index(d) for d in digits]
    if len(nibbles) % 2:
        nibbles.append(0xF)
    octets = [nibbles[i] | (nibbles[i + 1] << 4) for i in range(0, len(nibbles), 2)]
    toa = TOA_INTERNATIONAL if plus else TOA_UNKNOWN
    return bytes([len(digits), toa] + octets)


def _user_data(dcs, text, header):
    """TP-UDL and TP-UD of one part; ``header`` is the whole UDH, UDHL first, or b''."""
    if dcs == DCS_GSM7:
        fill = _fill_bits(len(header)) if header else 0
        codes = gsm_encode(text)
        header_septets = (len(header) * 8 + fill) // 7
        return header_septets + len(codes), header + pack_septets(codes, fill)
    data = header + text.encode('utf-16-be')
    return len(data), data


def encode_submit(number, text, reference=0, status_report=False, validity=VALIDITY_24H):
    """The SMS-SUBMIT parts that send ``text`` to ``number``: a list of SubmitPart.

    ``reference`` (0-255) is the concatenation reference shared by the
    parts of this message; callers change it from one message to the next.
    ``status_report`` sets TP-SRR in every part.  ``validity`` is the
    relative TP-VP octet, or None to send no validity period.  TP-MR is 0:
    the modem assigns each part its own and answers it with +CMGS.
    Everything is checked before the first part is built: a bad number or
    text raises EncodingError, too long a text TooManyPartsError.
    """
    address = encode_address(number)
    dcs, texts = split_text(text)
    if not isinstance(reference, int) or not 0 <= reference <= 255:
        raise EncodingError('concatenation reference must be 0-255, not %r' % (reference,))
    if validity is not None and (not isinstance(validity, int) or not 0 <= validity <= 255):
        raise EncodingError('relative validity period must be one octet, not %r' % (validity,))
    first = _MTI_SUBMIT | (_SRR if status_report else 0)
    vp = b''
    if validity is not None:
        first |= _VPF_RELATIVE
        vp = bytes([validity])
    parts = []
    for seq, piece in enumerate(texts, 1):
        header = b''
        if len(texts) > 1:
            header = bytes([5, _IEI_CONCAT_8, 3, reference, len(texts), seq])
        udl, ud = _user_data(dcs, piece, header)
        tpdu = (bytes([first | (_UDHI if header else 0), 0]) + address
                + bytes([0, dcs]) + vp + bytes([udl]) + ud)
        pdu = '00' + binascii.hexlify(tpdu).decode('ascii').upper()
        parts.append(SubmitPart(pdu, len(tpdu), piece))
    return parts


# ---- reading PDUs -------------------------------------------------------------

class _Reader(object):
    """Walks the octets of one PDU; running out is the PDU's fault."""

    def __init__(self, data, what):
        self.data = data
        self.what = what
        self.pos = 0

    def take(self, count):
        if self.pos + count > len(self.data):
            raise EncodingError('%s ends after %d octets; %d more expected at octet %d'
                                % (self.what, len(self.data), self.pos + count - len(self.data),
                                   self.pos))
        chunk = self.data[self.pos:self.pos + count]
        self.pos += count
        return chunk

    def octet(self):
        return self.take(1)[0]

    def left(self):
        return len(self.data) - self.pos


def _octets(pdu, what):
    if isinstance(pdu, bytes):
        pdu = pdu.decode('ascii', 'replace')
    try:
        return binascii.unhexlify(''.join(pdu.split()))
    except (binascii.Error, TypeError, ValueError) as e:
        raise EncodingError('%s is not hex: %s' % (what, e))


def _read_address(reader):
    """A TP-DA/TP-RA: '+' and digits for an international number, digits
    (and * # a b c) otherwise, the text of an alphanumeric address."""
    count = reader.octet()
    toa = reader.octet()
    data = reader.take((count + 1) // 2)
    if (toa >> 4) & 7 == _TON_ALPHANUMERIC:
        return gsm_decode(unpack_septets(data, count * 4 // 7))
    digits = []
    for octet in data:
        for nibble in (octet & 0xF, octet >> 4):
            if nibble < 0xF:
                digits.append(_BCD_DIGITS[nibble])
    digits = u''.join(digits[:count])
    return u'+' + digits if toa == TOA_INTERNATIONAL else digits


def _read_time(reader):
    """A 7-octet time stamp as an aware datetime; None when it is not a real time."""
    raw = reader.take(7)
    fields = [(octet & 0xF) * 10 + (octet >> 4) for octet in raw[:6]]
    zone = raw[6]
    quarters = (zone & 0x7) * 10 + (zone >> 4)
    if zone & 0x08:
        quarters = -quarters
    return _make_time(fields, quarters)


def _make_time(fields, quarters):
    year, month, day, hour, minute, second = fields
    try:
        tz = datetime.timezone(datetime.timedelta(minutes=15 * quarters))
        return datetime.datetime(2000 + year, month, day, hour, minute, second, tzinfo=tz)
    except ValueError:
        return None


def _read_header(data):
    """The (IEI, bytes) elements of a user-data header and its Concat, if any."""
    elements = []
    concat = None
    pos = 0
    while pos < len(data):
        if pos + 2 > len(data) or pos + 2 + data[pos + 1] > len(data):
            raise EncodingError('user-data header element at octet %d runs past the header' % pos)
        iei, body = data[pos], bytes(data[pos + 2:pos + 2 + data[pos + 1]])
        elements.append((iei, body))
        pos += 2 + len(body)
        if iei == _IEI_CONCAT_8 and len(body) == 3:
            found = Concat(body[0], body[1], body[2])
        elif iei == _IEI_CONCAT_16 and len(body) == 4:
            found = Concat((body[0] << 8) | body[1], body[2], body[3])
        else:
            continue
        # A receiver ignores a concatenation element with a zero count or a
        # sequence number outside 1..count.
        if 1 <= found.seq <= found.total:
            concat = found
    return elements, concat


def _alphabet(dcs):
    """DCS_GSM7, DCS_8BIT or DCS_UCS2 for a TP-DCS octet."""
    group = dcs >> 4
    if group <= 0x7:                    # general data coding, maybe marked for deletion
        if dcs & 0x20:
            raise EncodingError('compressed user data (TP-DCS 0x%02X) is not supported' % dcs)
        return (DCS_GSM7, DCS_8BIT, DCS_UCS2, DCS_GSM7)[(dcs >> 2) & 3]
    if group in (0xC, 0xD):             # message waiting, GSM text
        return DCS_GSM7
    if group == 0xE:                    # message waiting, UCS2 text
        return DCS_UCS2
    if group == 0xF:                    # data coding / message class
        return DCS_8BIT if dcs & 0x04 else DCS_GSM7
    raise EncodingError('reserved TP-DCS 0x%02X' % dcs)


def _read_user_data(reader, first, dcs):
    """The header elements, Concat and text of TP-UDL plus TP-UD."""
    alphabet = _alphabet(dcs)
    udl = reader.octet()
    octets = (udl * 7 + 7) // 8 if alphabet == DCS_GSM7 else udl
    if octets > USER_DATA_OCTETS:
        raise EncodingError('TP-UDL %d means %d octets of user data; a message holds %d'
                            % (udl, octets, USER_DATA_OCTETS))
    data = reader.take(octets)
    header, concat, start = [], None, 0
    if first & _UDHI:
        if not data or 1 + data[0] > len(data):
            raise EncodingError('user-data header longer than the user data')
        start = 1 + data[0]
        header, concat = _read_header(data[1:start])
    body = data[start:]
    if alphabet == DCS_GSM7:
        fill = _fill_bits(start) if start else 0
        count = udl - (start * 8 + fill) // 7
        if count < 0:
            raise EncodingError('TP-UDL %d is shorter than the user-data header' % udl)
        return header, concat, gsm_decode(unpack_septets(body, count, fill))
    if alphabet == DCS_UCS2:
        if len(body) % 2:
            raise EncodingError('UCS2 text of an odd number of octets (%d)' % len(body))
        # A surrogate pair that another sender split across parts decodes
        # half by half here; reassemble() joins the halves.
        return header, concat, body.decode('utf-16-be', 'surrogatepass')
    return header, concat, bytes(body)


def _skip_smsc(reader, tpdu_length):
    """Step over the SMSC part.  With the TPDU length the modem gave, a PDU
    without an SMSC part is recognised too."""
    if tpdu_length is not None:
        extra = len(reader.data) - tpdu_length
        if extra == 0:
            return
        if extra < 0 or reader.data[0] + 1 != extra:
            raise EncodingError('%s of %d octets does not hold a TPDU of %d octets'
                                % (reader.what, len(reader.data), tpdu_length))
    reader.take(reader.octet())


def _first_octet(reader, mti, name):
    first = reader.octet()
    if first & _MTI_MASK != mti:
        raise EncodingError('%s: first octet 0x%02X is not an %s' % (reader.what, first, name))
    return first


def decode_submit(pdu):
    """An SMS-SUBMIT PDU as a modem receives it after AT+CMGS, SMSC part
    first, read into an SmsSubmit.  Octets after the user data are an error."""
    reader = _Reader(_octets(pdu, 'SMS-SUBMIT PDU'), 'SMS-SUBMIT PDU')
    reader.take(reader.octet())
    smsc_octets = reader.pos
    first = _first_octet(reader, _MTI_SUBMIT, 'SMS-SUBMIT')
    reference = reader.octet()
    number = _read_address(reader)
    pid = reader.octet()
    dcs = reader.octet()
    vpf = (first >> 3) & 3
    validity = None
    if vpf == 2:
        validity = reader.octet()
    elif vpf:
        validity = bytes(reader.take(7))
    header, concat, text = _read_user_data(reader, first, dcs)
    if reader.left():
        raise EncodingError('SMS-SUBMIT PDU has %d octets after its user data' % reader.left())
    return SmsSubmit(first, reference, number, pid, dcs, validity, header, concat, text,
                     len(reader.data) - smsc_octets)


def decode_status_report(pdu, tpdu_length=None):
    """An SMS-STATUS-REPORT PDU (from +CDS: <length> or +CMGR) read into an
    SmsStatusReport.  ``tpdu_length`` is the <length> the modem announced;
    without it the PDU must start with its SMSC part."""
    reader = _Reader(_octets(pdu, 'status report PDU'), 'status report PDU')
    _skip_smsc(reader, tpdu_length)
    first = _first_octet(reader, _MTI_STATUS_REPORT, 'SMS-STATUS-REPORT')
    reference = reader.octet()
    number = _read_address(reader)
    sent = _read_time(reader)
    discharged = _read_time(reader)
    status = reader.octet()
    # Optional parameters (TP-PI and what it announces) may follow; a
    # report is complete without them.
    return SmsStatusReport(first, reference, number, sent, discharged, status)


def _text_time(value):
    match = _TEXT_TIME.match(value.strip())
    if match is None:
        return None
    fields = [int(x) for x in match.groups()[:6]]
    return _make_time(fields, int(match.group(7) or 0))


def parse_status_report_text(line):
    """A text-mode status report read into an SmsStatusReport.

    Takes a "+CDS: <fo>,<mr>,[<ra>],[<tora>],<scts>,<dt>,<st>" line, the
    same parameters after "+CMGR: <stat>,", or the bare parameters; modems
    that leave out <ra> and <tora> altogether are understood too.
    """
    text = line.strip()
    if text.startswith('+CDS:'):
        text = text[5:]
    stored = text.startswith('+CMGR:')
    if stored:
        text = text[6:]
    try:
        fields = next(csv.reader([text.strip()], skipinitialspace=True), [])
    except csv.Error as e:
        raise EncodingError('unreadable status report %r: %s' % (line, e))
    if stored:
        fields = fields[1:]
    if len(fields) not in (5, 7):
        raise EncodingError('status report %r has %d parameters, not 5 or 7' % (line, len(fields)))
    try:
        first, reference, status = int(fields[0]), int(fields[1]), int(fields[-1])
        tora = int(fields[3]) if len(fields) == 7 and fields[3].strip() else None
    except ValueError:
        raise EncodingError('status report %r has a parameter that is not a number' % (line,))
    number = fields[2] if len(fields) == 7 else u''
    if tora == TOA_INTERNATIONAL and number and not number.startswith('+'):
        number = '+' + number
    return SmsStatusReport(first, reference, number or None, _text_time(fields[-3]),
                           _text_time(fields[-2]), status)


# ---- writing status reports (what a modem hands over) -------------------------

def _zone_quarters(moment):
    """The time and its offset from UTC in quarter hours; a naive time counts as UTC."""
    if moment is None:
        moment = datetime.datetime.now(datetime.timezone.utc)
    offset = moment.utcoffset() or datetime.timedelta(0)
    return moment, int(offset.total_seconds()) // 900


def _time_octets(moment):
    moment, quarters = _zone_quarters(moment)
    fields = [moment.year % 100, moment.month, moment.day,
              moment.hour, moment.minute, moment.second]
    octets = [(v // 10) | ((v % 10) << 4) for v in fields]
    zone = abs(quarters)
    octets.append((zone // 10) | ((zone % 10) << 4) | (0x08 if quarters < 0 else 0))
    return bytes(octets)


def _report_status(status):
    if not isinstance(status, int) or not 0 <= status <= 255:
        raise EncodingError('TP-ST must be one octet, not %r' % (status,))
    return status


def encode_status_report(reference, number, status, sent=None, discharged=None):
    """An SMS-STATUS-REPORT as a modem hands it over after "+CDS: <length>":
    ``(pdu, tpdu_length)``, the hex with an empty SMSC part ("00") first.

    ``reference`` is the TP-MR of the reported message, ``status`` TP-ST;
    ``sent`` and ``discharged`` are datetimes (naive ones count as UTC,
    None is now).
    """
    tpdu = (bytes([0x04 | _MTI_STATUS_REPORT, reference & 0xFF]) + encode_address(number)
            + _time_octets(sent) + _time_octets(discharged) + bytes([_report_status(status)]))
    return '00' + binascii.hexlify(tpdu).decode('ascii').upper(), len(tpdu)


def _text_time_field(moment):
    moment, quarters = _zone_quarters(moment)
    return '"%s%+03d"' % (moment.strftime('%y/%m/%d,%H:%M:%S'), quarters)


def status_report_text(reference, number, status, sent=None, discharged=None):
    """The parameters of a text-mode status report, as after "+CDS: ":
    <fo>,<mr>,<ra>,<tora>,<scts>,<dt>,<st> (arguments as for encode_status_report)."""
    tora = TOA_INTERNATIONAL if str(number).startswith('+') else TOA_UNKNOWN
    return '6,%d,"%s",%d,%s,%s,%d' % (reference & 0xFF, number, tora, _text_time_field(sent),
                                      _text_time_field(discharged), _report_status(status))


# ---- reassembly -----------------------------------------------------------------

def reassemble(parts):
    """The text of one message from its decoded SmsSubmit parts, in any order:
    ``(text, part count)``.  Parts of different messages, a missing or a
    repeated part raise EncodingError."""
    parts = list(parts)
    if len(parts) == 1 and parts[0].concat is None:
        return parts[0].text, 1
    concats = [part.concat for part in parts]
    if None in concats:
        raise EncodingError('a part without a concatenation header among concatenated parts')
    if len(set((c.reference, c.total) for c in concats)) != 1:
        raise EncodingError('parts of different messages: %r' % (concats,))
    total = concats[0].total
    if sorted(c.seq for c in concats) != list(range(1, total + 1)):
        raise EncodingError('message %d needs parts 1-%d, got %r'
                            % (concats[0].reference, total, sorted(c.seq for c in concats)))
    ordered = [part.text for part in sorted(parts, key=lambda part: part.concat.seq)]
    if isinstance(ordered[0], bytes):
        return b''.join(ordered), total
    text = u''.join(ordered)
    text = text.encode('utf-16-be', 'surrogatepass').decode('utf-16-be', 'surrogatepass')
    return text, total


class Reassembler(object):
    """Collects the parts of concatenated messages as they arrive.

    ``add(submit)`` returns ``(text, part count)`` once the message it
    belongs to is complete (at once for a single message), else None.
    Parts are told apart by recipient, reference and part count; a part
    that arrives twice replaces its earlier copy.
    """

    def __init__(self):
        self._waiting = {}      # (number, reference, total) -> {seq: SmsSubmit}

    def add(self, submit):
        if submit.concat is None:
            return reassemble([submit])
        key = (submit.number, submit.concat.reference, submit.concat.total)
        parts = self._waiting.setdefault(key, {})
        parts[submit.concat.seq] = submit
        if len(parts) < submit.concat.total:
            return None
        del self._waiting[key]
        return reassemble(parts.values())

    @property
    def incomplete(self):
        """How many messages still wait for parts."""
        return len(self._waiting)
