"""Command-line tools around smsline: smsline-send and a GSM modem simulator."""

# The one place the package's version is written; setup.py reads it from here.
__version__ = '0.2.0'
