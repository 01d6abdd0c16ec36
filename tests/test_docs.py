"""The user guide's examples run as doctests, so the guide stays true."""

import doctest
import glob
import os

import pytest

GUIDE = sorted(glob.glob(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                      "docs", "guide", "*.rst")))


def test_guide_pages_found():
    assert len(GUIDE) >= 9


@pytest.mark.parametrize("path", GUIDE, ids=os.path.basename)
def test_guide_examples(path):
    failures, tried = doctest.testfile(
        path, module_relative=False, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE,
        raise_on_error=False, verbose=False)
    assert tried > 0
    assert failures == 0, "%d example(s) in %s failed (see the output above)" % (failures, path)


def test_docs_build_without_warnings(tmp_path):
    """What `make docs` runs: docstrings must stay valid reStructuredText."""
    pytest.importorskip("sphinx")
    import subprocess
    import sys

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    result = subprocess.run(
        [sys.executable, "-m", "sphinx", "-q", "-W", "--keep-going", "-b", "html",
         os.path.join(root, "docs"), str(tmp_path / "html")],
        capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
