"""Sphinx configuration of the vostrel documentation.

Build: ``python -m sphinx -W -b html docs docs/_build/html`` with the package importable (installed
with the ``docs`` extra, or its ``python/`` directory on ``PYTHONPATH`` next to a built extension).

Links to the NumPy, SciPy, Dask and matplotlib documentation (intersphinx) need the network and
are off by default, so that the build never waits on or warns about an unreachable host. Set
``VOSTREL_DOCS_INTERSPHINX=1`` to turn them on.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import apigen  # noqa: E402  (the reference's index, from the package's export lists)

import vostrel  # noqa: E402

project = "vostrel"
author = "the vostrel developers"
copyright = "the vostrel developers"
release = version = getattr(vostrel, "__version__", "0.1.0")

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.mathjax",
    "sphinx-mathjax-offline",  # MathJax served from the site itself: formulas render offline
    "sphinx.ext.intersphinx",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
]

templates_path = ["_templates"]
exclude_patterns = ["_build", "examples/README.rst", "Thumbs.db", ".DS_Store"]
root_doc = "index"

# -- the API reference ------------------------------------------------------------------------
apigen.write_index(HERE / "api" / "index.rst")
autosummary_generate = True
autosummary_imported_members = True
autodoc_typehints = "none"  # the signatures are shown once, in the numpydoc sections
autodoc_member_order = "bysource"
autodoc_inherit_docstrings = True
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False
# Validation of the docstrings against numpydoc's rules: these checks fail the build (-W).
numpydoc_validation_checks = {
    "GL03",  # double blank lines
    "GL06",  # unknown section
    "GL07",  # sections in the wrong order
    "PR01",  # a parameter is not documented
    "PR02",  # a documented parameter does not exist
    "PR03",  # parameters in the wrong order
    "PR10",  # no space before the colon of a parameter's type
    "RT02",  # the name of a single return value
    "SS01",  # no summary
}
numpydoc_validation_exclude = {
    r"\.__init__$",
    r"\.__post_init__$",
    # Built through its classmethods (from_arrays, ...), which document their parameters.
    r"^vostrel\.Events$",
}
# Results and other frozen records document their fields under "Attributes": their
# constructors' parameters are those fields.
numpydoc_validation_overrides = {"PR01": [r"(?m)^Attributes\n-{10}$"]}



def _data_comment(app, what, name, obj, options, lines):  # noqa: ANN001, ANN201
    """A module-level constant or type alias documented where it is re-exported takes the ``#:``
    comment written where it is defined (otherwise autodoc would show, for a tuple, the
    documentation of ``tuple``)."""
    if what != "data":
        return
    from sphinx.pycode import ModuleAnalyzer

    attribute = name.rsplit(".", 1)[-1]
    for module_name, module in sorted(sys.modules.items()):
        if not module_name.startswith("vostrel") or getattr(module, attribute, None) is not obj:
            continue
        try:
            comments = ModuleAnalyzer.for_module(module_name).find_attr_docs()
        except Exception:  # a module without source (the extension)
            continue
        if ("", attribute) in comments:
            lines[:] = list(comments[("", attribute)])
            return


# -- intersphinx: only on request (the network may be absent) -----------------------------------
if os.environ.get("VOSTREL_DOCS_INTERSPHINX", "") not in ("", "0"):
    intersphinx_mapping = {
        "python": ("https://docs.python.org/3", None),
        "numpy": ("https://numpy.org/doc/stable", None),
        "scipy": ("https://docs.scipy.org/doc/scipy", None),
        "dask": ("https://docs.dask.org/en/stable", None),
        "distributed": ("https://distributed.dask.org/en/stable", None),
        "matplotlib": ("https://matplotlib.org/stable", None),
    }
else:
    intersphinx_mapping = {}

# -- the gallery --------------------------------------------------------------------------------
sphinx_gallery_conf = {
    "examples_dirs": ["examples"],
    "gallery_dirs": ["auto_examples"],
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "gallery_order.GalleryOrder",
    "abort_on_example_error": True,
    "show_memory": False,
    "reset_modules": ("matplotlib",),
}

# -- HTML ---------------------------------------------------------------------------------------
html_theme = "pydata_sphinx_theme"
html_title = "vostrel"
html_theme_options = {
    "show_toc_level": 2,
    "navigation_with_keys": False,
    "secondary_sidebar_items": ["page-toc"],
}
html_static_path: list[str] = []
html_show_sourcelink = False


def setup(app):  # noqa: ANN001, ANN201
    app.connect("autodoc-process-docstring", _data_comment)
