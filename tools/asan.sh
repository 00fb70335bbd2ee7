#!/usr/bin/env bash
# Build gammatone_c with AddressSanitizer and UndefinedBehaviorSanitizer in a
# build directory and virtual environment of its own, then run the whole test
# suite against that build.
#
#   bash tools/asan.sh PYTHON313 [pytest arguments...]
#
# PYTHON313 is a CPython 3.13 interpreter; it only seeds the virtual
# environment.  Python itself is not instrumented, so the sanitizer runtime is
# preloaded into it: ASan must be the first library in the process to
# intercept malloc and friends before anything else allocates.
set -euo pipefail

python313=${1:?usage: tools/asan.sh PYTHON313 [pytest arguments...]}
shift
cd "$(dirname "$0")/.."

venv=.venv-asan
build=build-asan
py=$venv/bin/python
cxx=${CXX:-c++}

# The runtimes of the compiler that builds the module.  -print-file-name
# echoes the bare name back when the library is missing.
libasan=$("$cxx" -print-file-name=libasan.so)
libstdcxx=$("$cxx" -print-file-name=libstdc++.so)
for lib in "$libasan" "$libstdcxx"; do
    if [[ "$lib" != /* || ! -e "$lib" ]]; then
        echo "asan: $cxx has no $lib; install the compiler's sanitizer runtime" >&2
        exit 1
    fi
done

if [[ ! -x $py ]]; then
    "$python313" -m venv "$venv"
    "$py" -m pip install -q --upgrade pip
fi

# Build requirements and the optional extras the suite uses (not the
# benchmarks'), read from pyproject.toml so that this script follows it.
# Extras that the project does not define are skipped.
read -r build_reqs extras < <("$py" - <<'EOF'
import tomllib
with open("pyproject.toml", "rb") as f:
    meta = tomllib.load(f)
reqs = [r.replace(" ", "") for r in meta["build-system"]["requires"]]
defined = meta["project"].get("optional-dependencies", {})
wanted = [e for e in ("test", "cli") if e in defined]
print(";".join(reqs), ",".join(wanted))
EOF
)
IFS=';' read -r -a build_reqs <<<"$build_reqs"
"$py" -m pip install -q meson ninja "${build_reqs[@]}"

# meson finds NumPy's headers through the numpy-config script on PATH; put
# the environment's own first, so that the build uses the NumPy it runs with
# rather than whichever interpreter's comes first on PATH.
export PATH="$PWD/$venv/bin:$PATH"

# b_sanitize adds -fsanitize=address,undefined to compiling and linking; the
# frame pointers give whole stack traces.  These flags add to the ones in
# meson.build (-ffp-contract=off stays), and debugoptimized keeps -O2 with
# debug information so that reports name source lines.
# A fresh build directory each time: a reconfigured one would keep the
# dependency lookups (and so the NumPy headers) of its first configuration.
rm -rf "$build"
"$py" -m pip install -q --no-build-isolation \
    -Cbuild-dir="$build" \
    -Csetup-args=-Dbuildtype=debugoptimized \
    -Csetup-args=-Db_sanitize=address,undefined \
    -Csetup-args=-Dcpp_args=-fno-omit-frame-pointer \
    ".[${extras}]"

# Refuse to run an uninstrumented build: the suite would pass and prove
# nothing.
# Both extensions, found without importing them (an instrumented library
# cannot load before the sanitizer runtime is preloaded).
package=$("$py" -P -c 'import importlib.util; print(importlib.util.find_spec("gammatone_bank").submodule_search_locations[0])')
module=$("$py" -P -c 'import importlib.util; print(importlib.util.find_spec("gammatone_c").origin)')
for so in "$module" "$package"/_engine.*.so; do
    symbols=$(nm -D "$so")
    if ! grep -q ' U __asan_' <<<"$symbols"; then
        echo "asan: $so is not built with AddressSanitizer" >&2
        exit 1
    fi
    if ! grep -q ' U __ubsan_' <<<"$symbols"; then
        echo "asan: $so is not built with UndefinedBehaviorSanitizer" >&2
        exit 1
    fi
    echo "asan: testing $so"
done

# detect_leaks=0: the interpreter keeps objects alive until exit by design,
# so leak reports would be about Python, not the module (the soak test
# watches the module's own leaks).  allocator_may_return_null=1: an
# impossible allocation returns null as it does without the sanitizer, instead
# of aborting.  halt_on_error=1 turns every undefined-behaviour report into
# a failing run.
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# --capture=sys: pytest captures Python's output only and leaves file
# descriptor 2 alone, so a sanitizer report, written to stderr just before
# the process exits, reaches the terminal instead of a discarded capture file.
# -m "not slow": the slow tests measure a whole process's memory under an
# address-space limit, which the sanitizer's shadow memory cannot fit in.
LD_PRELOAD="$libasan $libstdcxx" "$py" -P -m pytest -p no:cacheprovider --capture=sys -m "not slow" "$@"
