PY := .venv/bin/python

.PHONY: bootstrap demo test bench clean

bootstrap:
	@scripts/bootstrap

demo: bootstrap
	$(PY) examples/quickstart.py

test: bootstrap
	$(PY) -m pytest -q tests

bench: bootstrap
	$(PY) bench/run.py

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
