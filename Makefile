# Developer entry points. `make demo` and `make test` work on a fresh machine:
# they install what they need (scripts/bootstrap.sh) and build from scratch.
PY := .venv/bin/python
BUILD := build/dev
CMAKE := .venv/bin/cmake
JOBS ?= 2

.PHONY: demo test build bootstrap bench bench-quick clean

bootstrap:
	@scripts/bootstrap.sh

build: bootstrap
	@$(CMAKE) -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -DVORPEL_INPLACE=ON -DVORPEL_BUILD_TESTS=ON >/dev/null
	@$(CMAKE) --build $(BUILD) -j$(JOBS)

demo: build
	@PYTHONPATH=python $(PY) examples/demo.py

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	PYTHONPATH=python $(PY) -m pytest -q tests/python

bench: build
	PYTHONPATH=python $(PY) bench/cast.py

bench-quick: build
	PYTHONPATH=python $(PY) bench/cast.py --quick

clean:
	rm -rf build python/_vorpel/*.so python/_vorpel/_build_config.py
