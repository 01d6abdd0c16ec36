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

fuzz: bootstrap
	$(PY) scripts/fuzz $(or $(SECONDS),60)

clean:
	rm -rf build .venv
