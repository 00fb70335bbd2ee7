"""Sphinx configuration of the documentation site (``make docs``)."""

import os
import sys
from importlib.metadata import version as _version

sys.path.insert(0, os.path.abspath("_ext"))
# The gallery draws into files, never onto a screen.
os.environ.setdefault("MPLBACKEND", "Agg")

project = "gammatone_c"
author = "the gammatone_c developers"
copyright = "the gammatone_c developers, MIT licence"
release = _version("gammatone_c")
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.mathjax",
    "numpydoc",
    "myst_parser",
    "sphinx_gallery.gen_gallery",
    "command_line",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "gallery/*.ipynb", "**/sg_execution_times.rst"]
root_doc = "index"

# Markdown pages: GitHub's anchors for headings, so that links between pages
# name a section as the README did.
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

# The reference: one page per public name, from its numpydoc docstring.  The
# types are in the docstrings' Parameters sections; the annotations (NumPy's
# long ArrayLike union) stay out of the signatures.
autosummary_generate = True
templates_path = ["_templates"]
autodoc_typehints = "none"
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "gallery",
    "filename_pattern": r"/plot_",
    "within_subsection_order": "FileNameSortKey",
    "abort_on_example_error": True,
    "download_all_examples": False,
    "show_memory": False,
    "remove_config_comments": True,
    "image_scrapers": ("matplotlib",),
}

html_theme = "pydata_sphinx_theme"
html_title = "gammatone_c"
html_static_path = ["_static"]
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "header_links_before_dropdown": 4,
    "secondary_sidebar_items": ["page-toc"],
}
html_show_sourcelink = False


def _skip_tuple_machinery(app, what, name, obj, skip, options):
    """Leave out what every named tuple has: its fields' "Alias for field
    number N" (the class's Attributes section tells them) and count/index."""
    doc = getattr(obj, "__doc__", None) or ""
    if doc.startswith("Alias for field number") or name in ("count", "index"):
        return True
    return None


def setup(app):
    app.connect("autodoc-skip-member", _skip_tuple_machinery)
