PY := .venv/bin/python

.PHONY: bootstrap demo test bench fuzz docs clean

bootstrap:
	@scripts/bootstrap

demo: bootstrap
	$(PY) examples/quickstart.py

# (make test also installs headless Chromium: a test renders the coverage html.)
# One xdist worker more than there are cores: many tests wait on a subprocess or
# a sleeping Tcl, and the extra worker keeps the cores busy meanwhile.
test:
	@KX_BROWSER=1 scripts/bootstrap
	$(PY) -m pytest -q -n $$(( $$(nproc) + 1 )) --dist worksteal tests

bench: bootstrap
	$(PY) bench/run.py

fuzz: bootstrap
	$(PY) scripts/fuzz $(or $(SECONDS),60)

# Sphinx (the docs extra) is installed into .venv on first use; warnings are errors.
docs: bootstrap
	@$(PY) -c 'import sphinx' 2>/dev/null || \
		$(PY) -m pip install -q --disable-pip-version-check "sphinx>=7"
	$(PY) -m sphinx -W --keep-going -b html docs docs/_build/html

clean:
	rm -rf build .venv .venv-*

# The suite on every supported Python found here, each in its own .venv-X.Y.
.PHONY: test-all
test-all:
	@scripts/test-all

# The suite against a build with AddressSanitizer and UBSan, in .venv-sanitize.
.PHONY: sanitize
sanitize:
	@scripts/sanitize

# Real Tcl test suites (Tcl 8.6's own, tcllib's, Itcl's, Expect's) through
# korvex-tcl and through a tclsh with TclX, compared file by file (see
# scripts/conformance); then through pytest, whose counts must equal tcltest's
# (scripts/conformance-pytest).
# Each twice: with TclX, and without (--no-tclx) against a plain tclsh.
.PHONY: conformance
conformance: bootstrap
	@status=0; \
	scripts/conformance || status=1; \
	scripts/conformance --no-tclx || status=1; \
	scripts/conformance-pytest || status=1; \
	scripts/conformance-pytest --no-tclx || status=1; \
	exit $$status
