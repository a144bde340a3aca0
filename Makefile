# Development entry points.  `make test` works on a fresh machine: it finds
# Python 3.13 (on PATH or through pyenv), creates .venv, installs the package
# with its test dependencies and runs the tests.  A second run reuses .venv and
# the CMake build directory.

PYTHON313 := $(shell python3.13 -c 'import sys; print(sys.executable)' 2>/dev/null)
ifeq ($(PYTHON313),)
PYTHON313 := $(firstword $(wildcard $(shell pyenv root 2>/dev/null)/versions/3.13*/bin/python3.13) \
                         $(wildcard $(HOME)/.pyenv/versions/3.13*/bin/python3.13))
endif

VENV := .venv
PY := $(VENV)/bin/python
# Pinned tools and packages; then the stand-in host package on top (what the tests need).
DEPS := $(VENV)/.deps-installed
STAMP := $(VENV)/.stand-ins-installed
STAND_IN_SOURCES := $(shell find stand_ins/tessaro -name '*.py') stand_ins/pyproject.toml
SOURCES := $(shell find runtime private_core -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi') \
           CMakeLists.txt runtime/CMakeLists.txt pyproject.toml
# Set when .venv does not exist yet: the one run that takes a minute or two.
FIRST_RUN := $(if $(wildcard $(PY)),,yes)

# The C++ sources the formatter owns.
CXX_SOURCES := $(shell find runtime private_core -name '*.cpp' -o -name '*.hpp')
CLANG_FORMAT := $(VENV)/bin/clang-format

.PHONY: help test test-oldest build demo bench bench-check sanitize clean redis-server format format-check

# The suites run on two worker processes (pytest-xdist): much of a test's time is
# spent waiting (on sockets, child processes, paced requests), so two workers
# keep two cores busy.  Tests marked `timing` all go to one worker, one after
# the other (see tests/conftest.py).  `make test WORKERS=0` runs in one process.
WORKERS ?= 2
PYTEST := -P -m pytest -q -W error $(if $(filter-out 0,$(WORKERS)),-n $(WORKERS) --dist loadgroup)

test: format-check build redis-server  ## build, install into .venv and run the whole test suite
	$(PY) $(PYTEST)

# The shared-cache tests and the demo start their own Redis (Debian's
# redis-server) on a free loopback port; install it where it is missing and
# the machine lets us (root with apt-get), else say what the tests will skip.
redis-server:  ## install Debian's redis-server where it is missing (root only)
	@command -v redis-server >/dev/null 2>&1 || { \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	    echo "Installing redis-server (Debian package)..."; \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq redis-server >/dev/null 2>&1 || \
	    { apt-get update -qq >/dev/null 2>&1 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq redis-server >/dev/null; }; \
	  else \
	    echo "note: redis-server is not installed and cannot be installed here; the Redis tests are skipped" >&2; \
	  fi; }

build: $(VENV)/.built $(STAMP)  ## create .venv, install the pinned tools and compile the modules

$(PY):
	@test -n "$(PYTHON313)" || { echo "error: Python 3.13 not found (neither python3.13 on PATH nor under pyenv)" >&2; exit 1; }
	@echo "First run: creating $(VENV), installing dependencies and compiling the native modules (a minute or two)..."
	@$(PYTHON313) -m venv $(VENV)

# pip, setuptools and wheel first, at their pinned versions, so that everything
# after them is installed and built by known tools.
$(DEPS): $(PY) requirements-dev.txt
	@$(PY) -m pip install -q $$(grep -E '^(pip|setuptools|wheel)==' requirements-dev.txt)
	@$(PY) -m pip install -q -r requirements-dev.txt
	@touch $@

# Reinstalled whenever a stand-in source changes, without rebuilding the native modules.
$(STAMP): $(DEPS) $(STAND_IN_SOURCES)
	@$(PY) -m pip install -q --no-build-isolation --no-deps ./stand_ins
	@touch $@

# Editable-free install with a persistent build directory, so rebuilding
# after a change compiles only what changed.
$(VENV)/.built: $(DEPS) $(SOURCES)
	@$(if $(FIRST_RUN),,echo "Compiling the native modules...")
	@$(PY) -m pip install -q --no-build-isolation --no-deps \
	    -C cmake.define.PC_RUNTIME_PROBE=ON -C build-dir=build/dev .
	@touch $@

# The suite again on the lowest version of each range pyproject.toml declares
# (requirements-oldest.txt, with the tools and test packages of
# requirements-dev.txt), in an environment of its own: the declared ranges are
# the ranges the tests run on.  The modules link against none of these
# packages, so they come from the normal build: .venv's own tools install them
# from build/dev into .venv-oldest, and nothing is compiled again.
OLD_VENV := .venv-oldest
OLD_PY := $(OLD_VENV)/bin/python
OLD_SITE := $(OLD_VENV)/lib/python3.13/site-packages
OLD_DEPS := $(OLD_VENV)/.deps-installed
OLD_STAMP := $(OLD_VENV)/.stand-ins-installed
# Left out of requirements-dev.txt here: the runtime pins, which the oldest set
# replaces, and the build tools, since .venv builds.
NOT_FOR_OLDEST := ^(requests|pandas|numpy|pydantic|redis|pyarrow|scikit-build-core|cmake|ninja)==

$(OLD_PY):
	@test -n "$(PYTHON313)" || { echo "error: Python 3.13 not found (neither python3.13 on PATH nor under pyenv)" >&2; exit 1; }
	@echo "Creating $(OLD_VENV) with the oldest supported dependencies..."
	@$(PYTHON313) -m venv $(OLD_VENV)

$(OLD_DEPS): $(OLD_PY) requirements-dev.txt requirements-oldest.txt
	@$(OLD_PY) -m pip install -q $$(grep -E '^(pip|setuptools|wheel)==' requirements-dev.txt)
	@grep -vE '$(NOT_FOR_OLDEST)' requirements-dev.txt > $(OLD_VENV)/tools.txt
	@$(OLD_PY) -m pip install -q --only-binary=:all: -r $(OLD_VENV)/tools.txt -r requirements-oldest.txt
	@touch $@

$(OLD_STAMP): $(OLD_DEPS) $(STAND_IN_SOURCES)
	@$(OLD_PY) -m pip install -q --no-build-isolation --no-deps ./stand_ins
	@touch $@

# Left out there: the tests of what no dependency reaches (the runtime on its
# own, its clean exit, the local service, the stubs), the demo (the calls the
# end-to-end tests make in-process), the gates that repeat every module's
# calls thousands of times (leaks, arbitrary arguments, load) and the fleets
# of spawned processes with the shared quota (their workers make the calls
# the single-process tests make, on the same dependencies); they run in
# `make test`, and .ci/run stays within its time.
OLDEST_SKIPPED := leaks properties load bad_input runtime runtime_flow fast_paths stubs service \
                  replaced_exceptions signature_lines exit demo redisstore_fleet diskstore_fleet history_fleet quota
# The README's strict type check reads the stubs, which need the typed
# requests of the current pins (older releases ship no type information).
OLDEST_DESELECTED := tests/test_readme.py::test_the_examples_pass_a_strict_type_check_from_the_repository_root

test-oldest: build redis-server $(OLD_STAMP)  ## run the tests again on the oldest dependencies the package declares
	@$(PY) -m pip install -q --no-build-isolation --no-deps --upgrade --target $(OLD_SITE) \
	    -C cmake.define.PC_RUNTIME_PROBE=ON -C build-dir=build/dev .
	$(OLD_PY) $(PYTEST) $(foreach t,$(OLDEST_SKIPPED),--ignore=tests/test_$(t).py) \
	    $(foreach t,$(OLDEST_DESELECTED),--deselect=$(t))

demo: build redis-server  ## run the demo against the built-in local service
	$(PY) -P demo/main.py

bench: build  ## run every benchmark under bench/ and report each target as met or missed
	$(PY) bench/run.py

bench-check: build  ## the benchmarks as a gate: fails when a target is missed
	$(PY) bench/run.py --check

# ASan + UBSan build of everything, then the suite under it with warnings as
# errors: every test that runs the native code.  Left out (SANITIZE_SKIPPED)
# are the tests that give the sanitizers nothing to check: the stubs and the
# README's examples (mypy reads them; the examples make the end-to-end tests'
# calls), what each module imports, the local service and the stand-ins (pure
# Python), and the demo (in a child process, the calls that the end-to-end tests
# make in this one); together they cost about two minutes under ASan.  The
# fleets of spawned processes are left out too (the Redis, disk and history
# fleets, the shared quota): their workers make the calls the single-process
# tests make here, and what they assert is wall-clock throughput, which the
# sanitizers' slowdown distorts; about two minutes and a half under ASan.  Two
# kinds of test repeat less under PC_SANITIZED: the clean-exit children (each
# settling moment once instead of twice) and the property tests whose count
# comes from `examples()` in tests/conftest.py (a quarter of their examples);
# the normal run repeats them in full.  The build
# goes into its own directory, put ahead of .venv on the module path for this
# run only, so .venv keeps the normal build and a plain import works afterwards.
# UBSan does not stop a process by default: here its first report aborts it, as
# ASan's does; ASan writes its reports to a log directory, so one from a child
# process that a test tolerated still fails the run.  An allocation too large to
# serve fails with MemoryError, as it does without ASan, instead of aborting.
# Dev mode reaches the test workers through PYTHONDEVMODE, as they are
# interpreters of their own.
SAN_SITE := build/sanitize-site
SAN_LOGS := build/sanitize-logs
SANITIZE_SKIPPED := stubs readme imports service stand_ins demo redisstore_fleet diskstore_fleet history_fleet quota
sanitize: $(STAMP) redis-server  ## rebuild with ASan and UBSan and run the native code's tests under them
	rm -rf $(SAN_SITE) $(SAN_LOGS) && mkdir -p $(SAN_LOGS)
	$(PY) -m pip install -q --no-build-isolation --no-deps --target $(SAN_SITE) \
	    -C cmake.define.PC_RUNTIME_PROBE=ON -C cmake.define.PC_SANITIZE=ON -C cmake.define.PC_FAST_PATHS=OFF -C cmake.build-type=Debug \
	    -C build-dir=build/sanitize .
	status=0; \
	PYTHONPATH="$(abspath $(SAN_SITE))" PC_SANITIZED=1 \
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:log_path=$(abspath $(SAN_LOGS))/asan \
	UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc PYTHONDEVMODE=1 $(PY) $(PYTEST) -p no:cacheprovider \
	    $(foreach t,$(SANITIZE_SKIPPED),--ignore=tests/test_$(t).py) || status=$$?; \
	if [ -n "$$(ls -A $(SAN_LOGS))" ]; then cat $(SAN_LOGS)/*; echo "sanitizer reports above" >&2; status=1; fi; \
	exit $$status

# Everything the commands above generate: environment, build trees, caches.
clean:  ## remove .venv, the build trees and every cache the commands leave behind
	rm -rf build $(VENV) $(OLD_VENV) stand_ins/build stand_ins/*.egg-info .pytest_cache .mypy_cache .hypothesis
	find . -name __pycache__ -type d -prune -exec rm -rf {} +

# The formatter is the pinned clang-format wheel of requirements-dev.txt, so
# every machine formats alike; its rules are in .clang-format.
format: $(DEPS)  ## reformat the C++ sources in place
	$(CLANG_FORMAT) --style=file -i $(CXX_SOURCES)

format-check: $(DEPS)  ## fail when a C++ source differs from what `make format` would write
	@$(CLANG_FORMAT) --style=file --dry-run --Werror $(CXX_SOURCES)

# Every target with its `##` description, in the order of this file.
help:  ## list the targets
	@awk -F':.*## ' '/^[a-z-]+:.*## / { printf "  make %-13s %s\n", $$1, $$2 }' $(MAKEFILE_LIST)
