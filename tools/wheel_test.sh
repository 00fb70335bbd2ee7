#!/usr/bin/env bash
# Install the wheel in dist/ into a fresh venv and run the test suite against
# it from a directory outside the source tree, as a user of the wheel would
# have it: no compiler, no checkout on the path.
#
#   bash tools/wheel_test.sh PYTHON313 [pytest arguments...]
#
# Every test file runs except tests/test_docs.py, which reads the
# documentation's sources.
set -euo pipefail

python313=${1:?usage: tools/wheel_test.sh PYTHON313 [pytest arguments...]}
shift
cd "$(dirname "$0")/.."
root=$PWD
wheel=$(ls dist/*-manylinux_*.whl)

where=$(mktemp -d)
trap 'rm -rf "$where"' EXIT
"$python313" -m venv "$where/venv"
py=$where/venv/bin/python
"$py" -m pip install -q --upgrade pip
"$py" -m pip install -q "$wheel[test,cli,batch]"

mkdir "$where/run"
cp -r tests "$where/run/tests"
rm -f "$where/run/tests/test_docs.py"
# The suite's own pytest settings (warnings are errors, the slow marker).
"$py" - "$root/pyproject.toml" "$where/run/pytest.ini" <<'PY'
import sys
import tomllib

with open(sys.argv[1], "rb") as f:
    options = tomllib.load(f)["tool"]["pytest"]["ini_options"]
with open(sys.argv[2], "w") as f:
    f.write("[pytest]\n")
    for key, value in options.items():
        value = "\n    ".join([""] + value) if isinstance(value, list) else value
        f.write(f"{key} = {value}\n")
PY

cd "$where/run"
"$py" -P -c 'import sys, gammatone_bank, gammatone_c
for m in (gammatone_bank, gammatone_c):
    if not m.__file__.startswith(sys.prefix):
        sys.exit(f"wheel test: {m.__name__} comes from {m.__file__}, not from the venv")
print("wheel test: gammatone_c", gammatone_c.__file__)'
PATH="$where/venv/bin:$PATH" "$py" -P -m pytest tests -q "$@"
