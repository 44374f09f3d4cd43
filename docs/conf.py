"""Sphinx configuration of karvo's documentation.

Built as the scientific-Python libraries build theirs (NumPy, SciPy, xarray,
pandas): Sphinx with the PyData theme, pages in MyST Markdown, and the API
reference made by autodoc from the installed package's docstrings. Users
coming from those libraries find the same layout (user guide, API reference,
search), the pages stay Markdown that reads well on a code host too, and
Sphinx's warnings-as-errors build (``sphinx-build -W``) keeps links and
references honest in CI (tests/test_docs.py).

    python -m pip install '.[docs]'
    sphinx-build -W -b html docs docs/_build/html

Nothing is executed and nothing is fetched: the figures are committed in
``_static`` (drawn by the scripts in ``scripts/``), and the API reference needs
karvo installed, as it is before the tests run.
"""

from __future__ import annotations

from pathlib import Path

import karvo

project = "karvo"
author = "the karvo developers"
copyright = "the karvo developers"
release = karvo.__version__
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "scripts", "Thumbs.db", ".DS_Store"]

# `name` in a docstring refers to a Python object where one is found, and is
# shown as code where none is (a parameter's name): no warning either way.
default_role = "py:obj"

myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

# The summaries of the API reference point at entries of the same pages:
# no generated stub files are written into the source tree.
autosummary_generate = False
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "undoc-members": False}

html_theme = "pydata_sphinx_theme"
html_title = f"karvo {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "header_links_before_dropdown": 6,
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version", "theme-version"],
}
# Pages without sub-pages need no section navigation on the left.
html_sidebars = {
    page: []
    for page in ("index", "getting_started", "example", "performance", "reliability", "platforms", "contributing", "changelog")
}


GUIDE = Path(__file__).resolve().parent / "user_guide"


def list_every_guide_page(app: object, docname: str, source: list) -> None:
    """user_guide/index.md lists its pages in reading order; a page added to
    the folder and not yet listed there is appended to that list, so that it
    is in the navigation (and the build does not fail on it) at once."""
    if docname != "user_guide/index":
        return
    text = source[0]
    start = text.index("```{toctree}")
    end = text.index("\n```", start)
    listed = {line.strip() for line in text[start:end].splitlines()}
    unlisted = [page.stem for page in sorted(GUIDE.glob("*.md")) if page.stem != "index" and page.stem not in listed]
    source[0] = text[:end] + "".join("\n" + name for name in unlisted) + text[end:]


def setup(app: object) -> None:
    app.connect("source-read", list_every_guide_page)  # type: ignore[attr-defined]
