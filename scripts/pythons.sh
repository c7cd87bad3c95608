# shellcheck shell=bash
# Finding the CPythons of this machine; sourced by .ci/run and scripts/build-wheels
# from the top of the source tree. Defines pyenv_dir (empty without pyenv) and
# the functions below.

# The minor version N of requires-python's ">=3.N" in pyproject.toml; nothing
# when it has no lower bound of that form.
oldest_supported_minor() {
  sed -n 's/^requires-python = ">=3\.\([0-9][0-9]*\)"$/\1/p' pyproject.toml
}

pyenv_root() {
  if command -v pyenv >/dev/null 2>&1; then
    pyenv root
  elif [ -n "${PYENV_ROOT:-}" ]; then
    echo "$PYENV_ROOT"
  elif [ -d "$HOME/.pyenv" ]; then
    echo "$HOME/.pyenv"
  fi
}
pyenv_dir=$(pyenv_root)

# The CPython releases pyenv holds, one 3.N.M a line (free-threaded and
# pre-release builds left out).
pyenv_releases() {
  local dir name
  [ -n "$pyenv_dir" ] || return 0
  for dir in "$pyenv_dir"/versions/3.*; do
    name=${dir##*/}
    [[ $name =~ ^3\.[0-9]+\.[0-9]+$ ]] && echo "$name"
  done
  return 0
}

# Minor versions of CPython 3 that pyenv holds or that are on the PATH as python3.N.
known_minors() {
  {
    pyenv_releases | sed 's/^3\.\([0-9]*\)\..*/\1/'
    compgen -c python3. | sed -n 's/^python3\.\([0-9][0-9]*\)$/\1/p' || true
  } | sort -n | uniq
}

# The interpreter for Python 3.N: python3.N on the PATH when it runs (a pyenv
# shim of a version that is not selected does not), else pyenv's newest 3.N.x.
find_python() {
  local minor=$1 candidate version
  candidate=$(command -v "python3.$minor" 2>/dev/null) || true
  if [ -n "$candidate" ] && "$candidate" -c '' >/dev/null 2>&1; then
    echo "$candidate"
    return 0
  fi
  version=$(pyenv_releases | grep -E "^3\.$minor\." | sort -V | tail -n 1) || true
  candidate="$pyenv_dir/versions/$version/bin/python3.$minor"
  if [ -n "$version" ] && "$candidate" -c '' >/dev/null 2>&1; then
    echo "$candidate"
    return 0
  fi
  return 1
}

# What find_python says of a Python it cannot find.
python_not_found() {
  echo "neither python3.$1 on the PATH nor 3.$1.x under pyenv (${pyenv_dir:-no pyenv})"
}
