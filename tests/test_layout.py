"""The package's modules: no import circles, and the library never imports the command line."""

import ast
import os

import gammatone_bank
from helpers import run_command

PACKAGE = os.path.dirname(gammatone_bank.__file__)


def imports():
    """{module: modules of the package it imports}, read from the installed sources."""
    sources, modules = {}, set()
    for folder, _, names in os.walk(PACKAGE):
        for name in names:
            rel = os.path.relpath(os.path.join(folder, name.split(".")[0]), os.path.dirname(PACKAGE))
            module = rel.replace(os.sep, ".").removesuffix(".__init__")
            modules.add(module)  # extension modules too
            if name.endswith(".py"):
                with open(os.path.join(folder, name), encoding="utf-8") as f:
                    sources[module] = ast.parse(f.read())
    graph = {}
    for module, tree in sources.items():
        found = set()
        for node in ast.walk(tree):
            if isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
                # `from package import submodule` imports the submodule.
                subs = {f"{node.module}.{a.name}" for a in node.names} & modules
                found |= subs or {node.module}
            elif isinstance(node, ast.Import):
                found.update(alias.name for alias in node.names)
        graph[module] = {m for m in found if m.startswith("gammatone_bank") and m != module}
    return graph


def test_no_import_circles():
    graph = imports()
    assert "gammatone_bank.cli._batch" in graph and "gammatone_bank._runner" in graph
    done, path = set(), []

    def visit(module):
        if module in path:
            raise AssertionError(" -> ".join(path[path.index(module):] + [module]))
        if module in done:
            return
        path.append(module)
        for other in sorted(graph.get(module, ())):
            # Importing a submodule first imports the package it is in.
            visit(other)
        path.pop()
        done.add(module)

    for module in sorted(graph):
        visit(module)


def test_library_never_imports_the_command_line():
    graph = imports()
    library = [m for m in graph if not m.startswith("gammatone_bank.cli") and m != "gammatone_bank.__main__"]
    assert {m: sorted(o for o in graph[m] if o.startswith("gammatone_bank.cli")) for m in library} == {
        m: [] for m in library}
    # And at run time, batch() and the task included.
    code = ("import sys, gammatone_bank, gammatone_bank._batch, gammatone_bank._runner\n"
            "print(sorted(m for m in sys.modules if m.startswith('gammatone_bank.cli')))")
    out = run_command(code=code, timeout=120, check=True).stdout
    assert out == "[]\n"
