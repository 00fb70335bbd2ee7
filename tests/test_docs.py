"""Every example of the README and of the documentation's pages runs as a user
would run it, and the API reference names every public name.

Each fenced Python block of README.md and docs/*.md is saved as a script in
an empty directory and run with this interpreter; a block whose fence is
preceded by the comment ``<!-- continues -->`` runs after the block before it
on the same page, in the same script.  (The gallery's scripts run when the
site is built, ``make docs``.)
The commands of a shell block that work offline on files (``gammatone-bank
...`` without placeholders) run one after the other in such a directory too.  The files a block
names (``corpus/``, ``speech.wav``, ...) are made beforehand.  A block
preceded by ``<!-- not run: REASON -->`` is left out, with its reason.
"""

import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from helpers import write_tone

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
BIN = os.path.dirname(sys.executable)
FENCE = re.compile(r"^```(\S*)\s*$")  # a language, a {directive} or nothing
DIRECTIVE = re.compile(r"^<!--\s*(continues|not run:.*?)\s*-->\s*$")
# Commands of shell blocks that are run: the package's own, on files.
COMMAND = re.compile(r"^(gammatone-bank|python -m gammatone_bank)\b")
# Synopses and lines that need something the tests do not have.
NOT_A_COMMAND = re.compile(r"[\[\]]|\.\.\.|\bINPUT\b|\bDIR\b|--scheduler|/data/")


def blocks(page):
    """(line, language, code, directive) of every fenced block of a page."""
    lines = page.read_text(encoding="utf-8").splitlines()
    out, i = [], 0
    while i < len(lines):
        match = FENCE.match(lines[i])
        if not match:
            i += 1
            continue
        directive, k = None, i - 1
        while k >= 0 and not lines[k].strip():
            k -= 1
        if k >= 0 and (found := DIRECTIVE.match(lines[k].strip())):
            directive = found.group(1)
        end = next(j for j in range(i + 1, len(lines)) if lines[j].startswith("```"))
        out.append((i + 1, match.group(1), "\n".join(lines[i + 1:end]) + "\n", directive))
        i = end + 1
    return out


def python_scripts():
    """Each Python block with the blocks of its page it continues before it."""
    scripts = []
    for page in PAGES:
        previous = ""
        for line, language, code, directive in blocks(page):
            if language != "python":
                continue
            script = previous + code if directive == "continues" else code
            previous = script
            marks = [pytest.mark.skip(reason=directive[len("not run:"):].strip())] if (
                directive or "").startswith("not run:") else []
            scripts.append(pytest.param(script, id=f"{page.stem}-line{line}", marks=marks))
    return scripts


def commands():
    """The runnable commands of each shell block, to run in order in one directory."""
    found = []
    for page in PAGES:
        for line, language, code, directive in blocks(page):
            if language not in ("sh", "console", "bash") or (directive or "").startswith("not run:"):
                continue
            lines = [text.split("  #")[0].strip() for text in code.splitlines()]
            runnable = [text for text in lines if COMMAND.match(text) and not NOT_A_COMMAND.search(text)]
            if runnable:
                found.append(pytest.param(runnable, id=f"{page.stem}-line{line}"))
    return found


def make_files(text, where):
    """The inputs a block names, made in where before it runs."""
    if "corpus/" in text or "corpus" in text.split():
        (where / "corpus" / "sub").mkdir(parents=True)
        write_tone(where / "corpus" / "a.wav")
        write_tone(where / "corpus" / "sub" / "b.wav", fs=22050)
    if "@more.txt" in text:
        write_tone(where / "extra.wav")
        (where / "more.txt").write_text("extra.wav\n")
    for name in set(re.findall(r"[\w./-]+\.(?:wav|flac)\b", text)):
        path = where / name
        if not path.exists() and not name.startswith(("out", "/")):
            path.parent.mkdir(parents=True, exist_ok=True)
            write_tone(path, channels=2 if "stereo" in name else 1)


def needs(text):
    """Skip what needs an extra that this environment lacks (the sanitizer
    run installs the command line's, not the corpus runner's)."""
    if re.search(r"\bbatch\b", text):
        pytest.importorskip("distributed")
    if "gammatone-bank" in text or "import matplotlib" in text:
        pytest.importorskip("matplotlib")


def run(argv, cwd):
    env = os.environ | {"PATH": BIN + os.pathsep + os.environ.get("PATH", "")}
    env.pop("PYTHONPATH", None)
    done = subprocess.run(argv, cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=300, stdin=subprocess.DEVNULL)
    assert done.returncode == 0, f"exit {done.returncode}\n{done.stdout}\n{done.stderr}"
    return done


def test_the_pages_have_examples():
    ids = {param.id.split("-line")[0] for param in python_scripts()}
    assert {"README", "getting_started", "filterbank", "resynthesis", "corpus"} <= ids and commands()


def reference_names():
    """The names the API reference lists: autosummary entries and py: directives."""
    text = (ROOT / "docs" / "api.rst").read_text(encoding="utf-8")
    names, listing = set(), False
    for line in text.splitlines():
        if line.startswith(".. autosummary::"):
            listing = True
        elif listing and line and not line.startswith(" "):
            listing = False
        elif listing and line.strip() and not line.strip().startswith(":"):
            names.add(line.strip())
        if match := re.match(r"\.\. py:(?:function|class|data):: (\w+)", line):
            names.add(match.group(1))
    return names


def test_the_reference_lists_every_public_name():
    import gammatone_bank
    import gammatone_c

    public = set(gammatone_bank.__all__) | {name for name in dir(gammatone_c) if not name.startswith("_")}
    missing = public - reference_names()
    assert not missing, f"docs/api.rst lacks {sorted(missing)}: add each to an autosummary list there"


@pytest.mark.parametrize("script", python_scripts())
def test_python_example(script, tmp_path):
    needs(script)
    make_files(script, tmp_path)
    (tmp_path / "example.py").write_text(script)
    run([sys.executable, "example.py"], tmp_path)


@pytest.mark.parametrize("block", commands())
def test_command_example(block, tmp_path):
    needs("\n".join(block))
    make_files("\n".join(block), tmp_path)
    for command in block:
        run(shlex.split(command), tmp_path)


def test_docstring_examples():
    """The Examples sections of the public docstrings give what they show."""
    import doctest

    import gammatone_bank

    finder, runner = doctest.DocTestFinder(exclude_empty=True), doctest.DocTestRunner()
    ran = 0
    for name in gammatone_bank.__all__:
        for test in finder.find(getattr(gammatone_bank, name), name,
                                globs={"np": np, **{n: getattr(gammatone_bank, n) for n in gammatone_bank.__all__}}):
            ran += len(test.examples)
            runner.run(test)
    assert ran and runner.summarize(verbose=False).failed == 0
