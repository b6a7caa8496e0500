// The process-wide constant values that every module body and the loader share.
#pragma once

#include "runtime/python.h"

namespace smsline {

// Interned names and small values, made once by create_shared_values() (the
// second start-up duty, run by the first module body) and never released.
// Code that looks attributes up again and again uses these rather than a
// fresh str per lookup: from 3.10 the interpreter's attribute cache keeps
// the name object of each lookup alive, so fresh names would pile up there.
struct SharedValues {
  PyObject* name;           // "__name__"
  PyObject* package;        // "__package__"
  PyObject* builtins;       // "__builtins__"
  PyObject* loader;         // "__loader__"
  PyObject* spec;           // "__spec__"
  PyObject* initializing;   // "_initializing"
  PyObject* file;           // "__file__"
  PyObject* doc;            // "__doc__"
  PyObject* path;           // "__path__"
  PyObject* cached;         // "__cached__"
  PyObject* origin;         // "origin"
  PyObject* has_location;   // "has_location"
  PyObject* search_locations;  // "submodule_search_locations"
  PyObject* spec_name;      // "name"
  PyObject* parent;         // "parent"
  PyObject* close;          // "close"
  PyObject* read;           // "read"
  PyObject* empty_tuple;    // ()
};

// Filled by create_shared_values(); all null before that.
extern SharedValues shared;

// Start-up duty 2.  Returns false with an exception set if the interpreter
// could not make a value (only under memory exhaustion).
bool create_shared_values() noexcept;

// A new reference to the interned str for `text`, or null with an exception.
PyObject* interned(const char* text) noexcept;

}  // namespace smsline
