# The CPython versions smsline builds for, where to find their interpreters,
# and where each version's environment and build live.  Sourced by
# scripts/setup and scripts/test.
#
# 3.6 is the project's own interpreter: its environment is .venv and its
# build build/cmake.  Every other version X.Y gets .venv-X.Y and
# build/cmake-X.Y.  Without 3.6 the scripts take the newest supported
# version installed (default_python).

SMSLINE_PYTHONS=(3.6 3.7 3.8 3.9 3.10 3.11 3.12 3.13)

# The interpreter for version X.Y: pythonX.Y on PATH, else pyenv's newest
# X.Y.* (in $PYENV_ROOT, by default ~/.pyenv).  Prints the real path of the
# interpreter that answers (past pyenv's shims and symlinks, so that the
# environments made from it keep working); returns 1 when none answers as
# CPython X.Y.
find_python_version() {
  local version=$1 candidates=() candidate
  command -v "python$version" >/dev/null 2>&1 && candidates+=("$(command -v "python$version")")
  for candidate in $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}/versions/$version".* 2>/dev/null | sort -t. -k3 -n -r); do
    candidates+=("$candidate/bin/python$version")
  done
  local answer
  for candidate in "${candidates[@]}"; do
    [ -x "$candidate" ] || continue
    answer=$("$candidate" -c 'import os, sys; sys.implementation.name == "cpython" and print("%d.%d" % sys.version_info[:2], os.path.realpath(sys.executable))' 2>/dev/null) || continue
    if [ "${answer%% *}" = "$version" ]; then
      echo "${answer#* }"
      return 0
    fi
  done
  return 1
}

# "X.Y" of a CPython interpreter, or nothing when it is none.
python_version_of() {
  "$1" -c 'import sys; sys.implementation.name == "cpython" and print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true
}

# Whether X.Y is a version smsline builds for.
supported_python() {
  local version
  for version in "${SMSLINE_PYTHONS[@]}"; do
    [ "$version" = "$1" ] && return 0
  done
  return 1
}

# Sets `python` and `version` for a request: a version number (3.9) is
# looked up, anything else is an interpreter's path.  Explains on standard
# error and returns 1 when there is no supported interpreter for it.
resolve_python() {
  local requested=$1
  if [[ "$requested" =~ ^3\.[0-9]+$ ]]; then
    version=$requested
    if ! supported_python "$version"; then
      echo "smsline builds for CPython ${SMSLINE_PYTHONS[*]}; $version is not one of them." >&2
      return 1
    fi
    if ! python=$(find_python_version "$version"); then
      echo "no CPython $version interpreter found (python$version on PATH or pyenv's $version.*);" \
           "point at one with --python /path/to/python$version, or install it with pyenv." >&2
      return 1
    fi
  else
    python=$requested
    version=$(python_version_of "$python")
    if [ -z "$version" ] || ! supported_python "$version"; then
      echo "$python is not a CPython interpreter that smsline builds for (${SMSLINE_PYTHONS[*]})." >&2
      return 1
    fi
  fi
}

# Sets `python` and `version` for the scripts' default interpreter: $PYTHON
# when set; else CPython 3.6, the project's own; else the newest supported
# version installed here, saying so on standard error.  Returns 1, with the
# reason, when there is none.
default_python() {
  if [ -n "${PYTHON:-}" ]; then
    resolve_python "$PYTHON"
    return
  fi
  if python=$(find_python_version 3.6); then
    version=3.6
    return 0
  fi
  local index
  for ((index = ${#SMSLINE_PYTHONS[@]} - 1; index >= 0; index--)); do
    if python=$(find_python_version "${SMSLINE_PYTHONS[index]}"); then
      version=${SMSLINE_PYTHONS[index]}
      echo "no CPython 3.6 here: using CPython $version ($python), the newest supported one installed" >&2
      return 0
    fi
  done
  echo "no supported CPython (${SMSLINE_PYTHONS[*]}) found as python3.X on PATH or in pyenv;" \
       "install one with its headers and venv (Debian and Ubuntu: sudo apt-get install python3-dev python3-venv)," \
       "or point at one with --python /path/to/python3.X" >&2
  return 1
}

venv_dir_for() { if [ "$1" = 3.6 ]; then echo .venv; else echo ".venv-$1"; fi; }
build_dir_for() { if [ "$1" = 3.6 ]; then echo build/cmake; else echo "build/cmake-$1"; fi; }
