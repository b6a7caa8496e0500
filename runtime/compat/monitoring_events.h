/* The sys.monitoring events that our frames send (3.12 and later), by the interpreter's own numbers.

   Read by the C++ runtime, which tests whether any tool listens to an event
   (compat/tracing.h), and by the C file that sends the events
   (events_monitoring.c), which checks them against the interpreter's
   PY_MONITORING_EVENT_* at compile time.  They are the same on 3.12 and
   3.13. */
#ifndef SMSLINE_COMPAT_MONITORING_EVENTS_H
#define SMSLINE_COMPAT_MONITORING_EVENTS_H

enum {
  SMSLINE_EVENT_PY_START = 0,
  SMSLINE_EVENT_PY_RETURN = 2,
  SMSLINE_EVENT_CALL = 4,
  SMSLINE_EVENT_LINE = 5,
  SMSLINE_EVENT_JUMP = 7,
  SMSLINE_EVENT_RAISE = 10,
  SMSLINE_EVENT_EXCEPTION_HANDLED = 11,
  SMSLINE_EVENT_PY_UNWIND = 12,
  SMSLINE_EVENT_RERAISE = 14,
  SMSLINE_EVENT_C_RETURN = 15,
  SMSLINE_EVENT_C_RAISE = 16
};

#endif
