PY := .venv/bin/python

.PHONY: bootstrap demo test bench docs clean

bootstrap:
	@scripts/bootstrap

demo: bootstrap
	$(PY) examples/quickstart.py

test: bootstrap
	$(PY) -m pytest -q tests

bench: bootstrap
	$(PY) bench/run.py

# The docs extra (Sphinx) is installed into .venv on first use; warnings are errors.
docs: bootstrap
	@$(PY) -c 'import sphinx' 2>/dev/null || \
		$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation ".[docs]"
	$(PY) -m sphinx -W --keep-going -b html docs docs/_build/html

clean:
	rm -rf build .venv
