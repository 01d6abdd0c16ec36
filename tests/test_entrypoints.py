"""Start-up hooks, found through real distribution metadata on sys.path in a
subprocess (the shared interpreter runs them at import)."""

import os
import subprocess
import sys
import textwrap

import pytest

HOOKS = '''
import logging
calls = []

def record(interp):
    calls.append(interp)
    interp.tk.eval("set ::hooked [expr {[info exists ::hooked] ? $::hooked + 1 : 1}]")
    return "ignored"

not_callable = 42

def broken(interp):
    raise RuntimeError("hook failed")

def probe(interp):
    # A Tcl command "probe": how many interpreters this hook has met, and
    # whether the package's shared interpreter sees the variable ::marker.
    calls.append(interp)

    def probe():
        from korvex.tcl.interpreter import _global_interpreter
        return "%d %s" % (len(calls), _global_interpreter.eval("info exists ::marker"))
    interp.create_callback(probe, cmd_name="::probe")
'''


def make_distribution(root, entry_points):
    (root / "fake_hooks.py").write_text(HOOKS)
    info = root / "fake_hooks-1.0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: fake-hooks\nVersion: 1.0\n")
    lines = ["[korvex.tcl]"] + ["%s = fake_hooks:%s" % pair for pair in entry_points]
    (info / "entry_points.txt").write_text("\n".join(lines) + "\n")


def run(root, code, *args):
    env = dict(os.environ, PYTHONPATH=str(root))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], env=env,
                          capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("name", ["tcl_init", "init", "tcl", ""])
def test_accepted_names_are_called_with_the_interpreter(tmp_path, name):
    make_distribution(tmp_path, [(name, "record")])
    result = run(tmp_path, """
        import logging
        logging.basicConfig(level=logging.DEBUG, format="%(name)s|%(message)s")
        import fake_hooks
        from korvex.tcl.interpreter import Interpreter, _global_interpreter
        own = Interpreter()
        assert fake_hooks.calls == [_global_interpreter, own], fake_hooks.calls
        assert own.tk.eval("set ::hooked") == "1"
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
    assert "korvex.tcl.interpreter|Loading Tcl-Init from fake_hooks" in result.stderr


@pytest.mark.parametrize("entry, error", [
    ("setup", "ValueError: Unknown Tcl entrypoint: setup from fake_hooks"),
    ("tcl_init_x", "ValueError: Unknown Tcl entrypoint: tcl_init_x from fake_hooks"),
])
def test_rejected_names_fail_the_import(tmp_path, entry, error):
    make_distribution(tmp_path, [(entry, "record")])
    result = run(tmp_path, "import korvex.tcl")
    assert result.returncode == 1
    assert result.stderr.strip().splitlines()[-1] == error


def test_rejected_name_stops_later_hooks(tmp_path):
    make_distribution(tmp_path, [("setup", "record"), ("tcl_init", "record")])
    result = run(tmp_path, """
        import fake_hooks
        try:
            import korvex.tcl
        except ValueError:
            print(len(fake_hooks.calls))
    """)
    assert result.stdout.strip() == "0", result.stderr


def test_non_callable_hook(tmp_path):
    make_distribution(tmp_path, [("tcl_init", "not_callable")])
    result = run(tmp_path, "import korvex.tcl")
    assert result.stderr.strip().splitlines()[-1] == "TypeError: Tcl-Init must be callable, got: 42"


def test_raising_hook_propagates_unchanged(tmp_path):
    make_distribution(tmp_path, [("tcl_init", "broken")])
    result = run(tmp_path, """
        try:
            import korvex.tcl
        except RuntimeError as exc:
            print(type(exc).__name__, exc, exc.__context__, exc.__cause__)
    """)
    assert result.stdout.strip() == "RuntimeError hook failed None None", result.stderr


def test_no_hooks_installed(tmp_path):
    result = run(tmp_path, "import korvex.tcl; print(korvex.tcl.eval('set ::argc'))")
    assert result.returncode == 0 and result.stdout.strip() == "0", result.stderr


def test_hooks_in_a_zip_on_the_path(tmp_path):
    # Metadata this package cannot see without importlib.metadata itself.
    import zipfile

    archive = tmp_path / "hooks.zip"
    with zipfile.ZipFile(archive, "w") as z:
        z.writestr("fake_hooks.py", HOOKS)
        z.writestr("fake_hooks-1.0.dist-info/METADATA", "Metadata-Version: 2.1\nName: fake-hooks\nVersion: 1.0\n")
        z.writestr("fake_hooks-1.0.dist-info/entry_points.txt", "[korvex.tcl]\ntcl_init = fake_hooks:record\n")
    env = dict(os.environ, PYTHONPATH=str(archive))
    result = subprocess.run([sys.executable, "-c", "import fake_hooks, korvex.tcl; print(len(fake_hooks.calls))"],
                            env=env, capture_output=True, text=True, timeout=120)
    assert result.stdout.strip() == "1", result.stderr


def test_a_group_named_only_in_an_object_reference_is_not_scanned(tmp_path):
    # Only a "[korvex.tcl]" section declares hooks: a plugin of another group
    # that lives in this package must not make every import read all metadata.
    info = tmp_path / "other-1.0.dist-info"
    info.mkdir()
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: other\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text("[pytest11]\nother = korvex.tcl.pytest_plugin\n")
    result = run(tmp_path, """
        import sys
        import korvex.tcl
        assert "importlib.metadata" not in sys.modules
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


@pytest.mark.parametrize("text, declared", [
    ("[console_scripts]\nkorvex-tcl = korvex.tcl.console:main\n", False),
    ("[korvex.tcl.other]\ntcl_init = fake_hooks:record\n", False),
    ("[korvex.tcl]\rtcl_init = fake_hooks:record\r", True),
    ("  [korvex.tcl] \t\ntcl_init = fake_hooks:record\n", True),
    ("[[korvex.tcl]]\ntcl_init = fake_hooks:record\n", True),
    ("\u00a0[korvex.tcl]\u00a0\ntcl_init = fake_hooks:record\n", True),
], ids=["console script", "other group", "CR lines", "blanks", "double brackets", "unicode blanks"])
def test_only_a_section_header_declares_hooks(tmp_path, text, declared):
    # The quick look at entry_points.txt (which spares importlib.metadata's
    # import time) must read sections as importlib.metadata does: a mention
    # of the name elsewhere declares nothing, any header it reads counts.
    make_distribution(tmp_path, [])
    (tmp_path / "fake_hooks-1.0.dist-info" / "entry_points.txt").write_bytes(text.encode())
    result = run(tmp_path, "import sys, fake_hooks, korvex.tcl; "
                           "print(len(fake_hooks.calls), 'importlib.metadata' in sys.modules)")
    assert result.stdout.split() == (["1", "True"] if declared else ["0", "False"]), result.stderr


def test_later_interpreters_see_metadata_changed_since_the_last_look(tmp_path):
    # What a scan found is reused for later interpreters only while the files
    # and directories it read are unchanged: the distribution is left to
    # settle first, so that the reuse really happens.
    make_distribution(tmp_path, [])
    points = tmp_path / "fake_hooks-1.0.dist-info" / "entry_points.txt"
    points.write_text("[console_scripts]\nfake = fake_hooks:record\n")
    result = run(tmp_path, """
        import pathlib, sys, time
        import fake_hooks
        from korvex.tcl.interpreter import Interpreter
        root = pathlib.Path(sys.argv[1])
        points = root / "fake_hooks-1.0.dist-info" / "entry_points.txt"
        time.sleep(2.2)
        counts = []
        def make():
            before = len(fake_hooks.calls)
            Interpreter()
            counts.append(len(fake_hooks.calls) - before)
        make()
        make()
        points.write_text("[korvex.tcl]\\ntcl_init = fake_hooks:record\\n")  # edited in place
        make()
        points.write_text("[console_scripts]\\nfake = fake_hooks:record\\n")
        make()
        other = root / "other-1.0.dist-info"  # a distribution added beside it
        other.mkdir()
        (other / "METADATA").write_text("Metadata-Version: 2.1\\nName: other\\nVersion: 1.0\\n")
        (other / "entry_points.txt").write_text("[korvex.tcl]\\ntcl_init = fake_hooks:record\\n")
        make()
        print(counts)
    """, str(tmp_path))
    assert result.stdout.strip() == "[0, 0, 1, 0, 1]", result.stderr
