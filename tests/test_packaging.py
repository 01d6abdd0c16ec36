"""How the package is built, installed and set up: the namespace package, the
version, the bootstrap script, and (marked `install`, run by .ci/run) an sdist
built into a wheel and installed into a fresh environment."""

import importlib.metadata
import os
import pathlib
import re
import subprocess
import sys
import tarfile
import zipfile

import pytest

import korvex.tcl

ROOT = pathlib.Path(__file__).resolve().parent.parent
SRC = ROOT / "src"


def clean_env(**extra):
    """The environment for scripts and other interpreters: without the
    sanitizer preloads (`make sanitize`), which only our modules need."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "PYTHONMALLOC", "PYTHONPATH") and not k.startswith("SKBUILD_")}
    env.update(extra)
    return env


def run(args, timeout=120, **kwargs):
    result = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=timeout,
                            env=kwargs.pop("env", None), **kwargs)
    assert result.returncode == 0, f"{args} failed:\n{result.stdout}\n{result.stderr}"
    return result


def find_python(version):
    result = subprocess.run([ROOT / "scripts" / "find-python", version], capture_output=True, text=True,
                            env=clean_env())
    return result.stdout.strip() if result.returncode == 0 else None


def test_version_comes_from_installed_metadata():
    assert korvex.tcl.__version__ == importlib.metadata.version("korvex-tcl")
    pyproject = (ROOT / "pyproject.toml").read_text()
    assert f'\nversion = "{korvex.tcl.__version__}"\n' in pyproject


def test_version_is_read_only_when_asked_for():
    # importlib.metadata costs import time: the version is read on first use.
    code = ("import sys, korvex.tcl; assert '__version__' not in vars(korvex.tcl); "
            "assert 'importlib.metadata' not in sys.modules; "
            "print(korvex.tcl.__version__); assert '__version__' in vars(korvex.tcl)")
    result = run([sys.executable, "-c", code])
    assert result.stdout.strip() == importlib.metadata.version("korvex-tcl")


def test_missing_attributes_raise_attribute_error():
    with pytest.raises(AttributeError, match="has no attribute 'no_such_name'"):
        korvex.tcl.no_such_name
    assert not hasattr(korvex.tcl, "__no_such_dunder__")


def test_korvex_is_a_namespace_package_shared_with_other_distributions(tmp_path):
    # Another distribution installing korvex.other beside us.
    other = tmp_path / "korvex" / "other"
    other.mkdir(parents=True)
    (other / "__init__.py").write_text("NAME = 'other'\n")
    code = ("import korvex, korvex.other, korvex.tcl, korvex.datastructures; "
            "assert korvex.__file__ is None, korvex.__file__; "
            "assert len(list(korvex.__path__)) == 2, list(korvex.__path__); "
            "print(korvex.other.NAME, korvex.tcl.eval('expr 6*7'), korvex.datastructures.AttrDict(a=1).a)")
    result = run([sys.executable, "-c", code], env=dict(os.environ, PYTHONPATH=str(tmp_path)))
    assert result.stdout.split() == ["other", "42", "1"]


@pytest.mark.parametrize("python, message", [
    ("no-such-python", "no 'no-such-python' on PATH"),
    ("2.1", "no CPython 2.1 found"),
    ("3.9", "is cpython 3.9: korvex.tcl needs CPython 3.10 or later"),
])
def test_bootstrap_refuses_unsupported_python_first(tmp_path, python, message):
    if python == "3.9" and find_python(python) is None:
        pytest.skip("no CPython 3.9 on this machine")
    venv = tmp_path / "venv"
    result = subprocess.run([ROOT / "scripts" / "bootstrap", "--venv-only"], capture_output=True, text=True,
                            timeout=60, env=clean_env(PYTHON=python, KX_VENV=str(venv)))
    assert result.returncode == 1
    assert message in result.stderr
    assert not venv.exists()


def other_python():
    for version in ("3.10", "3.11", "3.12", "3.13", "3.14"):
        if version != "%d.%d" % sys.version_info[:2] and (found := find_python(version)):
            return found
    pytest.skip("no second supported Python on this machine")


@pytest.mark.slow
def test_bootstrap_makes_a_venv_of_another_interpreter_again(tmp_path):
    venv = tmp_path / "venv"
    # PYTHON=X.Y names this test's interpreter version.
    env = clean_env(PYTHON="%d.%d" % sys.version_info[:2], KX_VENV=str(venv))
    run([other_python(), "-m", "venv", "--without-pip", venv], env=env)
    probe = [venv / "bin" / "python", "-c", "import sys; print('%d.%d' % sys.version_info[:2])"]

    result = run([ROOT / "scripts" / "bootstrap", "--venv-only"], env=env)
    assert "was made with another interpreter" in result.stdout
    assert run(probe, env=env).stdout.strip() == env["PYTHON"]

    # A venv of the right interpreter is kept as it is.
    (venv / "kept").touch()
    result = run([ROOT / "scripts" / "bootstrap", "--venv-only"], env=env)
    assert "another interpreter" not in result.stdout and "creating" not in result.stdout
    assert (venv / "kept").exists()


def package_files(names):
    """The package's own files among wheel or RECORD paths: no metadata, no caches."""
    return {n for n in names if n.startswith("korvex/") and "__pycache__" not in n}


@pytest.mark.install
def test_sdist_builds_the_wheel_that_installs_and_runs(tmp_path):
    dist = tmp_path / "dist"
    run([sys.executable, "-m", "build", "--no-isolation", "--outdir", dist, ROOT], timeout=1800, cwd=tmp_path,
        env=clean_env())
    (sdist,) = dist.glob("*.tar.gz")
    (wheel,) = dist.glob("*.whl")

    with tarfile.open(sdist) as tar:
        sdist_names = {n.split("/", 1)[1] for n in tar.getnames() if "/" in n}
    assert {"pyproject.toml", "CMakeLists.txt", "README.md", "src/korvex/tcl/zelph.cpp"} <= sdist_names
    assert not any(n.startswith((".venv", "build/", ".git/")) for n in sdist_names)

    # Only the package: extension modules, Python files, stubs and py.typed.
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
    assert all(n.startswith(("korvex/", "korvex_tcl-")) for n in names), names
    ours = package_files(names)
    assert "korvex/__init__.py" not in ours
    modules = {n for n in ours if n.endswith(".so")}
    expected = {str(p.relative_to(SRC)) for p in SRC.rglob("*")
                if p.suffix in (".py", ".pyi") or p.name == "py.typed"}
    assert ours - modules == expected
    # The same files as the wheel `pip install .` made from the tree for this environment.
    installed = package_files(str(f) for f in importlib.metadata.distribution("korvex-tcl").files)
    assert ours == installed
    assert {n.split("/")[-1].split(".")[0] for n in modules} == {
        "zelph", "internal", "interpreter", "mardeck", "namespace", "history", "yarl", "_coverage", "_tclsh",
        "_debugger", "_trace"}

    env_dir = tmp_path / "env"
    run([sys.executable, "-m", "venv", env_dir])
    python = env_dir / "bin" / "python"
    # The wheel as built; its one dependency (greenlet) from the index, as users get it.
    run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", wheel], timeout=300)
    result = run([python, ROOT / "examples" / "quickstart.py"], cwd=tmp_path)
    assert "shared interpreter: expr 6*7 -> 42" in result.stdout
    result = run([python, "-c", "import korvex.tcl; print(korvex.tcl.__version__)"], cwd=tmp_path)
    assert result.stdout.strip() == importlib.metadata.version("korvex-tcl")


def test_the_pytest_extra_brings_what_the_plugin_runs_with():
    # `pip install korvex.tcl[pytest]`: pytest and pytest-xdist, none of the project's own tools.
    requires = importlib.metadata.requires("korvex-tcl") or []
    extra = sorted(re.match(r"[A-Za-z0-9_.-]+", r).group() for r in requires
                   if re.search(r"""extra\s*==\s*["']pytest["']""", r))
    assert extra == ["pytest", "pytest-xdist"]
    assert "pip install 'korvex.tcl[pytest]'" in (ROOT / "README.md").read_text()


def test_private_cpython_api_is_named_only_in_its_shim_header():
    # support/python/capi.hpp gives each private use a public replacement or a guarded fallback (the build with
    # KX_PUBLIC_CAPI=1 uses only those); a use anywhere else would break where the private API is gone.
    private = re.compile(r"\b_Py[A-Za-z]\w*\s*\(|\btp_version_tag\b|\bma_version_tag\b")
    offenders = [f"{path.relative_to(SRC)}:{number}: {line.strip()}"
                 for path in sorted(SRC.rglob("*.[ch]pp")) if path.name != "capi.hpp"
                 for number, line in enumerate(path.read_text().splitlines(), 1)
                 if private.search(line.split("//")[0])]
    assert offenders == []
