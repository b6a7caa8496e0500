"""Errors raised by the GSM modem library.

Every error a modem reports carries the command that was sent and the code
the modem answered, so a log line alone tells what went wrong.
"""


class GsmModemException(Exception):
    """Base class of every error raised by this library.

    Whatever sendSms raises once it spoke to the modem (this library's
    errors, a serial error, KeyboardInterrupt) also carries ``partsSent``,
    the references of the parts the modem accepted, and ``unconfirmed``,
    True when the part after them was handed over and no answer came; and,
    raised while it waited for delivery reports, ``sentSms``.
    """


class TimeoutException(GsmModemException):
    """The modem did not answer in time; ``data`` holds what did arrive, and
    ``command`` the command left unanswered (None when it was no command)."""

    def __init__(self, message, data=None, command=None):
        super(TimeoutException, self).__init__(message)
        self.data = list(data or [])
        self.command = command


class DeliveryTimeoutError(TimeoutException):
    """The message was sent, but its status reports did not all arrive in
    time; ``sentSms`` is the SentSms, with the reports that did arrive."""

    def __init__(self, message, sentSms):
        super(DeliveryTimeoutError, self).__init__(message)
        self.sentSms = sentSms


class InvalidStateException(GsmModemException):
    """The modem (or this object) is not in a state that allows the call."""


class RegistrationError(InvalidStateException):
    """The modem is not registered and will not be: ``stat`` is the +CREG stat
    (0 not searching, 3 registration denied)."""

    def __init__(self, message, stat):
        super(RegistrationError, self).__init__(message)
        self.stat = stat


class RegistrationTimeoutError(TimeoutException):
    """The modem was still searching for a network when the wait ran out;
    ``stat`` is the last +CREG stat (2 searching, 4 unknown)."""

    def __init__(self, message, stat):
        super(RegistrationTimeoutError, self).__init__(message)
        self.stat = stat


class InvalidPinError(GsmModemException, ValueError):
    """A PIN that no SIM accepts (not 4 to 8 digits): refused before the port is opened."""


class CommandError(GsmModemException):
    """The modem refused a command.

    ``type`` is ``'CME'`` or ``'CMS'`` for numeric errors and ``'ERROR'`` for a
    bare ERROR; ``code`` is the numeric code (None for a bare ERROR).
    """

    def __init__(self, command, type=None, code=None, message=None):
        self.command = command
        self.type = type
        self.code = code
        if message is None:
            if type in ('CME', 'CMS'):
                answer = '+%s ERROR: %s' % (type, code)
            else:
                answer = 'ERROR'
            message = '%s failed: modem answered %s' % (command, answer)
        super(CommandError, self).__init__(message)


class CmeError(CommandError):
    """A +CME ERROR (equipment / SIM errors)."""

    def __init__(self, command, code, message=None):
        super(CmeError, self).__init__(command, 'CME', code, message)


class CmsError(CommandError):
    """A +CMS ERROR (message service errors)."""

    def __init__(self, command, code, message=None):
        super(CmsError, self).__init__(command, 'CMS', code, message)


class SimLockError(CmeError):
    """Base of the SIM lock errors; ``attemptsLeft`` is how many more tries
    the SIM allows (of the PIN, or of the PUK once blocked), None when the
    modem does not tell."""

    def __init__(self, command, code, message=None, attemptsLeft=None):
        super(SimLockError, self).__init__(command, code, message)
        self.attemptsLeft = attemptsLeft


class PinRequiredError(SimLockError):
    """The SIM needs a PIN (CME 11)."""

    def __init__(self, command, code=11, message=None, attemptsLeft=None):
        super(PinRequiredError, self).__init__(command, code, message, attemptsLeft)


class PukRequiredError(SimLockError):
    """The SIM is blocked and needs its PUK (CME 12)."""

    def __init__(self, command, code=12, message=None, attemptsLeft=None):
        super(PukRequiredError, self).__init__(command, code, message, attemptsLeft)


class IncorrectPinError(SimLockError):
    """The PIN was refused (CME 16)."""

    def __init__(self, command, code=16, message=None, attemptsLeft=None):
        super(IncorrectPinError, self).__init__(command, code, message, attemptsLeft)


class EncodingError(GsmModemException, ValueError):
    """Text or a number that cannot be put into a message, or a message PDU that cannot be read."""


class MessageTooLongError(EncodingError):
    """The text does not fit into one message; ``length`` and ``limit`` say by how much."""

    def __init__(self, length, limit, unit, why=''):
        self.length = length
        self.limit = limit
        super(MessageTooLongError, self).__init__(
            'message too long: %d %s, one message holds at most %d%s'
            % (length, unit, limit, why))


class TooManyPartsError(MessageTooLongError):
    """The text needs more parts than one concatenated message can have.

    ``parts`` is how many it would need and ``max_parts`` the most allowed;
    ``length`` is its size in ``unit`` and ``limit`` what ``max_parts`` hold.
    """

    def __init__(self, length, limit, unit, parts, max_parts):
        self.length = length
        self.limit = limit
        self.parts = parts
        self.max_parts = max_parts
        # Skips MessageTooLongError's one-message wording.
        super(MessageTooLongError, self).__init__(
            'message too long: %d %s need %d parts, a concatenated message has at most %d '
            '(%d %s)' % (length, unit, parts, max_parts, limit, unit))


def cme_error(command, code):
    """The CmeError subclass that matches ``code``."""
    cls = {11: PinRequiredError, 12: PukRequiredError,
           16: IncorrectPinError}.get(code, CmeError)
    return cls(command, code)
