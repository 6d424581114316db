# Build, test and demo entry points. PYTHON names the interpreter the modules
# are built against and run with; Debian's interpreter carries the packages.
PYTHON ?= /usr/bin/python3
BUILD  ?= build
JOBS   ?= 2
BUILD_TYPE ?= Release
# ON turns warnings of the project's own code into errors (CI sets it).
WERROR ?= OFF

.PHONY: all deps build test test-cpp test-python test-wheel wheel demo validate bench sanitize fuzz fuzz-update test-long test-debian13 debian13-chroot clean

all: build

deps:
	sh scripts/deps.sh

build:
	cmake -S . -B $(BUILD) -DPYTHON_EXECUTABLE=$(PYTHON) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
		-DZELT_WERROR=$(WERROR)
	cmake --build $(BUILD) -j $(JOBS)
	test ! -f tools/make_demo_play.py || $(PYTHON) tools/make_demo_play.py $(BUILD)

test-cpp: build
	cd $(BUILD) && ctest --output-on-failure

test-python: build
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) -m pytest -q tests/python

test: deps
	$(MAKE) test-cpp test-python

# The wheel (dist/), built through the same CMake build.
VERSION := $(shell cat VERSION)
WHEEL_VENV = $(CURDIR)/build-wheel/venv
wheel: deps
	rm -f dist/zelt_quon-*.whl
	$(PYTHON) -m pip wheel --no-build-isolation --no-deps --no-index -w dist .

# The wheel installed into a fresh venv that sees Debian's packages; the
# smoke test and the Python tests then run against the installed modules,
# from outside the source tree, and uninstalling must leave nothing behind.
test-wheel: wheel
	rm -rf $(WHEEL_VENV)
	$(PYTHON) -m venv --system-site-packages $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q --no-index --no-deps dist/zelt_quon-$(VERSION)-*.whl
	cd $(WHEEL_VENV) && env -u PYTHONPATH bin/python $(CURDIR)/tests/wheel/smoke.py \
		$(CURDIR)/data/sample_reservoirs.csv $(CURDIR)/VERSION
	cd $(WHEEL_VENV) && env -u PYTHONPATH bin/python -m pytest -q -c $(CURDIR)/tests/python/pytest.ini \
		--rootdir $(CURDIR)/tests/python $(CURDIR)/tests/python
	$(WHEEL_VENV)/bin/python -m pip uninstall -q -y zelt-quon
	cd $(WHEEL_VENV) && test -z "$$(find lib -name 'zelt_quon*')" \
		&& ! env -u PYTHONPATH bin/python -c "import zelt" 2>/dev/null \
		&& echo "uninstalled: nothing left"

demo: deps build
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) examples/screen_reservoirs.py
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) examples/forecast_well.py
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) examples/design_sweep.py
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) examples/rank_by_analogs.py

# The screening module against the field data in data/: measured MMPs and
# the methods applied in the sample reservoirs.
validate: deps build
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) tools/validate_screening.py

bench: deps build
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) bench/bench_screening.py --core $(BUILD)/bench_core
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) bench/bench_forecast.py
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) bench/bench_batch.py --core $(BUILD)/bench_batch_core
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) bench/bench_analogs.py

clean:
	rm -rf $(BUILD)

# The second leg: the same C++ and Python tests built from this working tree
# inside a Debian 13 chroot (made with debootstrap on first use, then
# reused; DEBIAN13_ROOT moves it). Needs root. WERROR as for `make test`,
# but ON unless given.
test-debian13:
	WERROR=$(if $(filter command line,$(origin WERROR)),$(WERROR),ON) JOBS=$(JOBS) sh scripts/debian13.sh

# Only make or update the chroot.
debian13-chroot:
	sh scripts/debian13.sh --prepare

# C++ tests and both modules under address and undefined-behaviour
# sanitizers (build-sanitize), the C++ tests and the pytest suite run there.
sanitize: deps
	PYTHON=$(PYTHON) JOBS=$(JOBS) sh scripts/sanitize.sh

# libFuzzer harnesses of the numeric cores (build-fuzz), a minute in all;
# FUZZ_SECONDS=600 for longer. Installs clang when it is missing. The saved
# corpora in tests/fuzz/corpus are only read; fuzz-update adds the new
# coverage to them.
fuzz:
	sh scripts/fuzz.sh

fuzz-update:
	FUZZ_UPDATE=1 sh scripts/fuzz.sh

# The property, leak and concurrency tests at full length.
test-long: deps build
	ZELT_LONG=1 PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) -m pytest -q tests/python/test_properties.py \
		tests/python/test_leaks.py tests/python/test_concurrency.py --hypothesis-show-statistics
