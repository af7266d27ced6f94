# Developer entry points. `make demo` and `make test` work on a fresh machine:
# they install what they need (scripts/bootstrap.sh) and build from scratch.
PY := .venv/bin/python
BUILD := build/dev
CMAKE := .venv/bin/cmake
JOBS ?= 2

.PHONY: demo test build bootstrap bench bench-quick test-asan sdist clean

bootstrap:
	@scripts/bootstrap.sh

build: bootstrap
	@$(CMAKE) -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -DVORPEL_INPLACE=ON -DVORPEL_BUILD_TESTS=ON >/dev/null
	@$(CMAKE) --build $(BUILD) -j$(JOBS)

demo: build
	@PY=$(abspath $(PY)) bash examples/demo.sh

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	PYTHONPATH=python $(PY) -m pytest -q tests/python

bench: build
	PYTHONPATH=python $(PY) bench/cast.py
	PYTHONPATH=python $(PY) bench/cast.py --dictionary-texts
	PYTHONPATH=python $(PY) bench/shapes.py

bench-quick: build
	PYTHONPATH=python $(PY) bench/cast.py --quick

# Core and extension built with AddressSanitizer and UndefinedBehaviorSanitizer;
# the C++ tests run with leak detection, pytest runs in an interpreter with the
# ASan runtime preloaded.
ASAN_BUILD := build/asan
test-asan: bootstrap
	@$(CMAKE) -S . -B $(ASAN_BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORPEL_SANITIZE=address,undefined \
	  -DVORPEL_INPLACE=OFF -DVORPEL_BUILD_TESTS=ON >/dev/null
	@$(CMAKE) --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure -j$(JOBS)
	rm -rf $(ASAN_BUILD)/pkg && mkdir -p $(ASAN_BUILD)/pkg/_vorpel
	cp python/_vorpel/*.py python/_vorpel/*.pyi python/_vorpel/py.typed $(ASAN_BUILD)/pkg/_vorpel/ 2>/dev/null || true
	rm -f $(ASAN_BUILD)/pkg/_vorpel/_build_config.py
	cp $(ASAN_BUILD)/_vorpel*.so $(ASAN_BUILD)/_build_config.py $(ASAN_BUILD)/pkg/_vorpel/
	cp -r python/vorpel $(ASAN_BUILD)/pkg/
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" ASAN_OPTIONS=detect_leaks=0 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONPATH=$(ASAN_BUILD)/pkg \
	  $(PY) -m pytest -q -p no:cacheprovider tests/python

# A source distribution carries the commit id in BUILD_SHA, since it has no git.
sdist: bootstrap
	git rev-parse HEAD > BUILD_SHA
	$(PY) -m build --sdist --outdir dist . ; rc=$$?; rm -f BUILD_SHA; exit $$rc

clean:
	rm -rf build python/_vorpel/*.so python/_vorpel/_build_config.py

# libFuzzer targets (clang-19, AddressSanitizer + UndefinedBehaviorSanitizer),
# each run FUZZ_SECONDS from the seeds in tests/fuzz/corpus: scripts/fuzz.sh.
FUZZ_TARGETS := field_type scalar_parse timestamp_pattern memory_value accumulator text_column csv_reader
FUZZ_SECONDS ?= 60
.PHONY: fuzz test-valgrind
fuzz: bootstrap
	@for t in $(FUZZ_TARGETS); do scripts/fuzz.sh $$t $(FUZZ_SECONDS) || exit 1; done

# The C++ tests of build/dev under valgrind memcheck. Arrow allocates with the
# system allocator so that memcheck sees its blocks; the allocation-counting
# operator new/delete some tests define are left alone; tests/valgrind.supp
# silences RE2's and GoogleTest's own reports. Definite leaks fail the run
# (libarrow's start-up keeps a few blocks "possibly lost"). Narrow the run with
# VALGRIND_GTEST_ARGS, e.g. VALGRIND_GTEST_ARGS=--gtest_filter='*Decimal*'.
VALGRIND_GTEST_ARGS ?=
test-valgrind: build
	@command -v valgrind >/dev/null || { echo "test-valgrind: valgrind is missing; run: sudo apt-get install -y valgrind" >&2; exit 1; }
	@fail=0; for t in $(BUILD)/tests/core/test_*; do \
	  [ -x "$$t" ] || continue; \
	  echo "== valgrind $$t"; \
	  ARROW_DEFAULT_MEMORY_POOL=system valgrind -q --error-exitcode=1 --leak-check=full \
	    --show-leak-kinds=definite --errors-for-leak-kinds=definite \
	    --soname-synonyms=somalloc=nouserintercepts --suppressions=tests/valgrind.supp \
	    "$$t" --gtest_brief=1 $(VALGRIND_GTEST_ARGS) || fail=1; \
	done; exit $$fail
