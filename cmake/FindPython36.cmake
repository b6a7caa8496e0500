# Locates the CPython 3.6 interpreter the extension is built for and reads
# its include directory and extension-module suffix from it.
#
# Search order: the PYTHON cache/environment variable, python3.6 on PATH,
# then pyenv's 3.6.15.  Sets PYTHON36_EXECUTABLE, PYTHON36_INCLUDE_DIR,
# PYTHON36_EXT_SUFFIX, PYTHON36_LIBRARY and PYTHON36_PREFIX.

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
endif()

set(PYTHON36_EXECUTABLE "")
foreach(_candidate IN LISTS _py_candidates)
  execute_process(
    COMMAND "${_candidate}" -c "import sys; print('%d.%d' % sys.version_info[:2])"
    OUTPUT_VARIABLE _py_version OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE _py_status ERROR_QUIET)
  if(_py_status EQUAL 0 AND _py_version STREQUAL "3.6")
    set(PYTHON36_EXECUTABLE "${_candidate}")
    break()
  endif()
endforeach()

if(NOT PYTHON36_EXECUTABLE)
  message(FATAL_ERROR
    "smsline needs a CPython 3.6 interpreter with its headers, and none was found "
    "(tried: ${_py_candidates}).\n"
    "Point at one with -DPYTHON=/path/to/python3.6 or the environment variable "
    "PYTHON=/path/to/python3.6, or put python3.6 on PATH "
    "(pyenv users: pyenv install 3.6.15).")
endif()

execute_process(
  COMMAND "${PYTHON36_EXECUTABLE}" -c
    "import sysconfig as s; print(s.get_paths()['include']); print(s.get_config_var('EXT_SUFFIX')); print(s.get_config_var('LIBDIR')); print(s.get_config_var('LDLIBRARY')); import sys; print(sys.base_prefix)"
  OUTPUT_VARIABLE _py_info OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE _py_status)
if(NOT _py_status EQUAL 0)
  message(FATAL_ERROR "Could not query ${PYTHON36_EXECUTABLE} for its build configuration.")
endif()
string(REPLACE "\n" ";" _py_info "${_py_info}")
list(GET _py_info 0 PYTHON36_INCLUDE_DIR)
list(GET _py_info 1 PYTHON36_EXT_SUFFIX)
list(GET _py_info 2 _py_libdir)
list(GET _py_info 3 _py_ldlibrary)
list(GET _py_info 4 PYTHON36_PREFIX)
set(PYTHON36_LIBRARY "${_py_libdir}/${_py_ldlibrary}")

if(NOT EXISTS "${PYTHON36_INCLUDE_DIR}/Python.h")
  message(FATAL_ERROR "${PYTHON36_EXECUTABLE} has no development headers (no Python.h in ${PYTHON36_INCLUDE_DIR}).")
endif()
message(STATUS "CPython 3.6: ${PYTHON36_EXECUTABLE} (headers ${PYTHON36_INCLUDE_DIR}, suffix ${PYTHON36_EXT_SUFFIX})")
