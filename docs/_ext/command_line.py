"""``.. command-line-reference::``: the help of every ``gammatone-bank`` command.

The text comes from the parsers themselves (each command module's
``_parser()``), for the default command and for every subcommand in the
command line's table, so the page cannot drift from the code.
"""

import argparse
import importlib
import textwrap

from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles
from docutils import nodes

WIDTH = 76  # the epilogs are wrapped for a terminal of 80 columns


def commands() -> list[tuple[str, str]]:
    """(command line, module) of the default command and of each subcommand."""
    from gammatone_bank import cli

    return [("gammatone-bank", cli.DEFAULT)] + [
        (f"gammatone-bank {name}", module) for name, module in sorted(cli.COMMANDS.items())
    ]


def help_text(module: str) -> str:
    parser = importlib.import_module(module)._parser()
    parser.formatter_class = lambda prog: argparse.RawDescriptionHelpFormatter(prog, width=WIDTH)
    return parser.format_help()


class CommandLineReference(SphinxDirective):
    has_content = False

    def run(self) -> list[nodes.Node]:
        lines = []
        for title, module in commands():
            heading = f"``{title}``"
            lines += [heading, "-" * len(heading), "", ".. code-block:: text", ""]
            lines += textwrap.indent(help_text(module), "   ").splitlines() + [""]
        container = nodes.section()
        container.document = self.state.document
        nested_parse_with_titles(self.state, StringList(lines, source="command-line-reference"), container)
        return container.children


def setup(app):  # noqa: D103
    app.add_directive("command-line-reference", CommandLineReference)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
