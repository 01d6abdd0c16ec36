"""Sphinx configuration for the korvex.tcl documentation."""

project = "korvex.tcl"
author = "korvex"
copyright = "korvex"

extensions = ["sphinx.ext.autodoc"]
autodoc_default_options = {"members": True, "undoc-members": True}
autodoc_member_order = "bysource"
autodoc_typehints = "none"
autodoc_inherit_docstrings = False
exclude_patterns = ["_build"]
html_theme = "alabaster"
nitpicky = False
suppress_warnings = ["autodoc.import_object"]
