"""Sphinx configuration of the tavro_kiln documentation (built by ``./dev docs``).

Pages are Markdown read by MyST, except the API reference, which autodoc
fills from the installed package's docstrings (NumPy style, read by
napoleon) and the native functions' signatures. The gallery is
sphinx-gallery: every script in ``examples/`` at the top of the tree runs on
each build, so its pictures and printed numbers are those of the current
package.

Theme: furo. It is a single, self-contained theme with a sidebar that shows
the whole tree of a small site, readable code blocks and tables, and a dark
mode, and it needs no configuration; pydata-sphinx-theme suits projects
with many top-level sections and a navigation bar across the top, which
this site does not have.

``./dev docs`` runs Sphinx with ``python -P``: the package is imported from
the virtual environment (where its native modules are built), not from the
source tree beside this folder.
"""
import os
import re
import sys

import tavro_kiln

# This folder's own Sphinx helpers (not the package: see above).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "_ext"))

project = "tavro_kiln"
author = "the tavro_kiln developers"
copyright = "the tavro_kiln developers"
release = tavro_kiln.__version__
version = ".".join(release.split(".")[:2])

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.mathjax",
    "myst_parser",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
# chip_validation.py is the script that prints the validation page's
# numbers, not a page or a gallery example.
exclude_patterns = ["chip_validation.py", "**/*.ipynb", "auto_examples/*.md5"]

myst_enable_extensions = ["colon_fence", "dollarmath"]
# Headings down to ### get anchors, so guide pages can link to sections.
myst_heading_anchors = 3

# -- autodoc and napoleon --------------------------------------------------
autodoc_member_order = "bysource"
# No default members: each class on the API pages names the members it
# shows (and a default would override those lists).
# The docstrings say what each argument and attribute is; signatures show
# names and defaults only (a dataclass's would otherwise list every type).
autodoc_typehints = "none"
napoleon_google_docstring = False
napoleon_numpy_docstring = True
# Attributes as one compact list in their class (its heading reads
# "Variables"), not as an entry each with its type apart.
napoleon_use_ivar = True
napoleon_use_rtype = False
# Types in the docstrings become links; these names are documented under
# their full paths.
napoleon_preprocess_types = True
napoleon_type_aliases = {
    "ChipGrid": "~tavro_kiln.chip.model.chip_grid.ChipGrid",
    "SolveReport": "~tavro_kiln.chip.model.chip_model.SolveReport",
}


def native_docstring(app, what, name, obj, options, lines):
    """Reads the heat solver's native docstring as NumPy style. It heads
    its parameters with ``Parameters:`` and a rule, which reStructuredText
    would take for a section title inside the function, and gives each
    parameter's description on its own line as ``name : description``,
    which napoleon would take for a type. Without the colon, and with each
    description moved under its name, napoleon reads them as they are
    meant."""
    if type(obj).__name__ != "native_function":
        return
    in_parameters = False
    for index, line in enumerate(list(lines)):
        if line.strip() == "Parameters:" and index + 1 < len(lines) \
                and re.fullmatch(r"\s*-{3,}\s*", lines[index + 1]):
            lines[index] = line.replace("Parameters:", "Parameters")
            in_parameters = True
        elif in_parameters and not line.strip():
            in_parameters = False
        elif in_parameters:
            match = re.fullmatch(r"(\s*)([\w, ]+?) : (.+)", line)
            if match:
                indent, names, description = match.groups()
                lines[index] = f"{indent}{names}\n{indent}    {description}"
    # The replacements above may hold two lines each.
    lines[:] = "\n".join(lines).split("\n")


# -- sphinx-gallery ----------------------------------------------------------
sphinx_gallery_conf = {
    "examples_dirs": [os.path.join("..", "examples")],
    "gallery_dirs": ["auto_examples"],
    "filename_pattern": r"/plot_",
    # Run every example on every build, so that what the pages show is what
    # the current package computes.
    "run_stale_examples": True,
    # _ext/tavro_gallery.py: figures made without pyplot are shown too, and the
    # examples come in reading order.
    "image_scrapers": ("tavro_gallery.figure_objects", "matplotlib"),
    "within_subsection_order": "tavro_gallery.reading_order",
    "download_all_examples": False,
    "remove_config_comments": True,
    "show_memory": False,
    "matplotlib_animations": False,
}

# -- HTML --------------------------------------------------------------------
html_theme = "furo"
html_title = f"tavro_kiln {release}"
# Signatures read steady_state(...), not tavro_kiln.chip.steady_state(...):
# each page says which module it documents.
add_module_names = False
html_static_path = []
html_theme_options = {"navigation_with_keys": True}


def setup(app):
    app.connect("autodoc-process-docstring", native_docstring, priority=400)
