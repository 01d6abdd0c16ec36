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


def _is_routine(obj):
    return repr(type(obj)) == "<class 'korvex.tcl.routine'>"


def _skip_forwarded(app, what, name, obj, skip, options):
    """The application object's methods that an Interpreter forwards
    (interp.tk.NAME) are tkinter's, documented there: not listed here."""
    return True if repr(type(obj)) == "<class 'korvex.tcl.forwarded_attribute'>" else None


def setup(app):
    """Document the package's C++-bodied methods (korvex.tcl routines) as
    methods: Sphinx takes any descriptor it does not know for an attribute."""
    from sphinx.util import inspect as sphinx_inspect

    app.connect("autodoc-skip-member", _skip_forwarded)

    original = sphinx_inspect.isattributedescriptor

    def isattributedescriptor(obj):
        return False if _is_routine(obj) else original(obj)

    sphinx_inspect.isattributedescriptor = isattributedescriptor
