"""Command-line tools around smsline: smsline-send and a GSM modem simulator."""
