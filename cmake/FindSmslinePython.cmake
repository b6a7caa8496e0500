# Locates the CPython interpreter the extension is built for and reads its
# include directory, extension-module suffix and library from it.
#
# The interpreter: the PYTHON cache/environment variable, else python3.6 on
# PATH, else pyenv's 3.6.15, else the newest supported python3.X on PATH.
# smsline builds for CPython 3.6 to 3.13; the extension carries the chosen
# interpreter's own suffix (sysconfig's EXT_SUFFIX).  Sets
# SMSLINE_PYTHON_EXECUTABLE, SMSLINE_PYTHON_VERSION (e.g. "3.9"),
# SMSLINE_PYTHON_INCLUDE_DIR, SMSLINE_PYTHON_EXT_SUFFIX,
# SMSLINE_PYTHON_LIBRARY and SMSLINE_PYTHON_PREFIX.

set(SMSLINE_SUPPORTED_PYTHONS 3.6 3.7 3.8 3.9 3.10 3.11 3.12 3.13)

if(NOT PYTHON AND DEFINED ENV{PYTHON})
  set(PYTHON "$ENV{PYTHON}")
endif()

set(_py_candidates)
if(PYTHON)
  list(APPEND _py_candidates "${PYTHON}")
else()
  find_program(_py_on_path NAMES python3.6)
  if(_py_on_path)
    list(APPEND _py_candidates "${_py_on_path}")
  endif()
  if(DEFINED ENV{PYENV_ROOT})
    list(APPEND _py_candidates "$ENV{PYENV_ROOT}/versions/3.6.15/bin/python3.6")
  endif()
  list(APPEND _py_candidates "$ENV{HOME}/.pyenv/versions/3.6.15/bin/python3.6")
  # Without 3.6, the newest supported python3.X on PATH.
  set(_py_newest_first ${SMSLINE_SUPPORTED_PYTHONS})
  list(REVERSE _py_newest_first)
  foreach(_py_version IN LISTS _py_newest_first)
    find_program(_py_on_path_${_py_version} NAMES python${_py_version})
    if(_py_on_path_${_py_version})
      list(APPEND _py_candidates "${_py_on_path_${_py_version}}")
    endif()
  endforeach()
endif()

set(SMSLINE_PYTHON_EXECUTABLE "")
set(_py_unsupported "")
foreach(_candidate IN LISTS _py_candidates)
  execute_process(
    COMMAND "${_candidate}" -c "import sys; print('%d.%d' % sys.version_info[:2], sys.implementation.name)"
    OUTPUT_VARIABLE _py_answer OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE _py_status ERROR_QUIET)
  if(NOT _py_status EQUAL 0)
    continue()
  endif()
  string(REPLACE " " ";" _py_answer "${_py_answer}")
  list(GET _py_answer 0 _py_version)
  list(GET _py_answer 1 _py_implementation)
  if(_py_implementation STREQUAL "cpython" AND _py_version IN_LIST SMSLINE_SUPPORTED_PYTHONS)
    set(SMSLINE_PYTHON_EXECUTABLE "${_candidate}")
    set(SMSLINE_PYTHON_VERSION "${_py_version}")
    break()
  endif()
  set(_py_unsupported "${_candidate} is ${_py_implementation} ${_py_version}")
  # The runtime reads the interpreter's frame and thread records as each
  # version lays them out; a later version's layout is unknown to it.
  set(_py_why "")
  if(_py_implementation STREQUAL "cpython" AND _py_version VERSION_GREATER_EQUAL 3.14)
    set(_py_why "CPython 3.14 and later are not supported yet: smsline reads the interpreter's "
                "frame records as each version lays them out, and does not know theirs.\n")
  endif()
endforeach()

if(NOT SMSLINE_PYTHON_EXECUTABLE)
  if(_py_unsupported)
    message(FATAL_ERROR
      "smsline builds for CPython 3.6 to 3.13, and ${_py_unsupported}.\n"
      ${_py_why}
      "Point at a supported interpreter with -DPYTHON=/path/to/python3.X or the "
      "environment variable PYTHON=/path/to/python3.X.")
  endif()
  message(FATAL_ERROR
    "smsline needs a CPython interpreter (3.6 to 3.13) with its headers, and none was found "
    "(tried: ${_py_candidates}).\n"
    "Point at one with -DPYTHON=/path/to/python3.X or the environment variable "
    "PYTHON=/path/to/python3.X, or put python3.6 on PATH "
    "(pyenv users: pyenv install 3.6.15).")
endif()

execute_process(
  COMMAND "${SMSLINE_PYTHON_EXECUTABLE}" -c
    "import sysconfig as s; print(s.get_paths()['include']); print(s.get_config_var('EXT_SUFFIX')); print(s.get_config_var('LIBDIR')); print(s.get_config_var('LDLIBRARY')); import sys; print(sys.base_prefix)"
  OUTPUT_VARIABLE _py_info OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE _py_status)
if(NOT _py_status EQUAL 0)
  message(FATAL_ERROR "Could not query ${SMSLINE_PYTHON_EXECUTABLE} for its build configuration.")
endif()
string(REPLACE "\n" ";" _py_info "${_py_info}")
list(GET _py_info 0 SMSLINE_PYTHON_INCLUDE_DIR)
list(GET _py_info 1 SMSLINE_PYTHON_EXT_SUFFIX)
list(GET _py_info 2 _py_libdir)
list(GET _py_info 3 _py_ldlibrary)
list(GET _py_info 4 SMSLINE_PYTHON_PREFIX)
set(SMSLINE_PYTHON_LIBRARY "${_py_libdir}/${_py_ldlibrary}")

if(NOT EXISTS "${SMSLINE_PYTHON_INCLUDE_DIR}/Python.h")
  message(FATAL_ERROR "${SMSLINE_PYTHON_EXECUTABLE} has no development headers (no Python.h in ${SMSLINE_PYTHON_INCLUDE_DIR}).")
endif()
message(STATUS "CPython ${SMSLINE_PYTHON_VERSION}: ${SMSLINE_PYTHON_EXECUTABLE} (headers ${SMSLINE_PYTHON_INCLUDE_DIR}, suffix ${SMSLINE_PYTHON_EXT_SUFFIX})")
