# Build, run and test entry points (Debian 12).
#
#   make deps        install the packages to build and run (apt-get, only what is missing)
#   make deps-test   install the fuzzing toolchain (clang, libFuzzer runtime) and the package
#                    checkers (lintian, fakeroot)
#   make deps-package  install the packaging tools (dpkg-dev, file)
#   make deps-lint   install what `make lint` needs (clang-format)
#   make build       configure once and build the normal tree $(BUILD)
#   make run         deps + build, then the program (or the headless demo when there is no display)
#   make package     the Debian package quantoria_<version>_<arch>.deb, built in the Release tree
#                    $(PACKAGE_BUILD) (packaging/build-package.sh)
#   make test        deps + build, then the tests of the normal tree (the package tests among
#                    them, which make the package in $(PACKAGE_BUILD) first), the unit tests under
#                    AddressSanitizer/UBSan ($(ASAN_BUILD)) and the fuzzers ($(FUZZ_BUILD))
#   make test-normal / test-asan / test-fuzz    one stage of `make test`
#   make lint        the C++ files as clang-format writes them (tools/check-format.sh), then the
#                    code this branch writes again since $(LINT_BASE), where the `duplicates` tool
#                    is installed (its rows are places to look: they are shown, they fail nothing)
#   make bench       build and run the benchmarks
#   make clean       remove the four build trees
#
# Variables (make VAR=value): BUILD, ASAN_BUILD, FUZZ_BUILD, PACKAGE_BUILD (tree folders; the
# package tests use the PACKAGE_BUILD that $(BUILD) was first configured with), JOBS (parallel
# compile and test jobs), FUZZ_SECONDS (run time of each fuzzer), FUZZERS (the fuzz targets to
# run; all of tests/fuzz/CMakeLists.txt by default), FUZZ_CC/FUZZ_CXX (the fuzz tree's compilers),
# WERROR (ON: a compiler warning fails the build; `make test` and its stages set it),
# LINT_BASE (the branch `make lint` compares with; main by default).
#
# Every tree is configured once (when its build.ninja is missing); after that Ninja re-runs
# CMake by itself when a CMakeLists.txt changes. A tree that `make test` builds is switched to
# QUANTORIA_WERROR=ON first when it was configured without it (by `make build`, say).

BUILD        ?= build
ASAN_BUILD   ?= build-asan
FUZZ_BUILD   ?= build-fuzz
PACKAGE_BUILD ?= build-release
JOBS         ?= 2
FUZZ_SECONDS ?= 60
FUZZ_CC      ?= clang
FUZZ_CXX     ?= clang++
WERROR       ?= OFF
LINT_BASE    ?= main

# The fuzz targets that tests/fuzz/CMakeLists.txt declares with quantoria_fuzzer(NAME).
FUZZERS ?= $(shell sed -En 's/^\s*quantoria_fuzzer\W\s*(\w+).*/\1/p' tests/fuzz/CMakeLists.txt)

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := build
# The steps of a target run in the order written; Ninja and ctest bring the parallelism.
.NOTPARALLEL:
.PHONY: deps deps-test deps-package deps-lint build run package test test-normal test-asan \
        test-fuzz lint bench clean

SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

# qt6-qpa-plugins (the offscreen and xcb platforms) is only a recommendation of the Qt packages:
# listed so that it is there even where recommendations are not installed. The fonts are the
# desktop fonts the appearance tests lay the windows out in.
RUN_PACKAGES := cmake ninja-build g++ qt6-base-dev qt6-base-dev-tools qt6-declarative-dev \
                libgl-dev qt6-qpa-plugins \
                xvfb xdotool openbox trayer x11-utils imagemagick python3-pyatspi python3-gi \
                dbus-x11 dbus-daemon at-spi2-core qt6ct \
                xfce4-panel xfconf dunst dbus-bin \
                sway waybar wtype grim foot qt6-wayland xkb-data \
                libxcb1-dev desktop-file-utils appstream \
                fonts-dejavu-core fonts-noto-core fonts-liberation2 fonts-cantarell
TEST_PACKAGES := clang-14 clang libclang-rt-14-dev clang-format lintian fakeroot
# To make the package: dpkg-buildflags and dpkg-shlibdeps; CPack looks at the programs with file.
PACKAGE_PACKAGES := dpkg-dev file
LINT_PACKAGES := clang-format
# What bench_startup compares the program with; `make bench` goes on without it when it cannot
# be installed.
BENCH_PACKAGES := speedcrunch

# $(call install_missing,PACKAGES): apt-get installs those not installed yet; the package lists
# are refreshed only when something has to be installed.
define install_missing
status=$$(dpkg-query -W -f='$${Package} $${Status}\n' $(1) 2>/dev/null || true); \
missing=(); \
for p in $(1); do \
  grep -qx "$$p [a-z]* ok installed" <<<"$$status" || missing+=("$$p"); \
done; \
if (( $${#missing[@]} )); then \
  echo "Installing: $${missing[*]}"; \
  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -q; \
  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$${missing[@]}"; \
fi
endef

# $(call stage,NAME,COMMANDS): runs the commands and prints how long they took.
define stage
start=$$(date +%s); echo "== $(1)"; \
$(2); \
echo "== $(1): $$(( $$(date +%s) - start )) s"
endef

# $(call werror,TREE): with WERROR=ON, turns QUANTORIA_WERROR on in a configured TREE that has it
# off; nothing otherwise.
define werror
if [[ "$(WERROR)" == ON ]] && ! grep -qx 'QUANTORIA_WERROR:BOOL=ON' $(1)/CMakeCache.txt; then \
  echo "== $(1): QUANTORIA_WERROR=ON"; \
  cmake -S . -B $(1) -DQUANTORIA_WERROR=ON >/dev/null; \
fi
endef

# The CI stages: a compiler warning fails them.
test test-normal test-asan test-fuzz: WERROR := ON

# Sanitizer run-time settings. Leak detection stays on; tests/lsan.supp is where leaks that
# belong to system libraries (not to this program) would be suppressed.
SANITIZER_ENV := \
  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:check_initialization_order=1:strict_init_order=1 \
  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

deps:
	@$(call install_missing,$(RUN_PACKAGES))

deps-test:
	@$(call install_missing,$(TEST_PACKAGES))

deps-package:
	@$(call install_missing,$(PACKAGE_PACKAGES))

deps-lint:
	@$(call install_missing,$(LINT_PACKAGES))

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DQUANTORIA_PACKAGE_TREE=$(abspath $(PACKAGE_BUILD)) \
	  -DQUANTORIA_WERROR=$(WERROR)

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DQUANTORIA_SANITIZE=ON -DQUANTORIA_BENCH=OFF \
	  -DQUANTORIA_WERROR=$(WERROR)

$(FUZZ_BUILD)/build.ninja:
	CC=$(FUZZ_CC) CXX=$(FUZZ_CXX) cmake -S . -B $(FUZZ_BUILD) -G Ninja -DQUANTORIA_FUZZ=ON \
	  -DQUANTORIA_WERROR=$(WERROR)

build: $(BUILD)/build.ninja
	@$(call werror,$(BUILD))
	@$(call stage,build $(BUILD),cmake --build $(BUILD) -j $(JOBS))

run: deps build
	@if [[ -n "$${DISPLAY:-}" || -n "$${WAYLAND_DISPLAY:-}" ]]; then \
	  exec $(BUILD)/quantoria; \
	else \
	  /usr/bin/python3 tests/e2e/demo.py $(BUILD)/quantoria $(BUILD)/quantoria-screenshot.png; \
	fi

package: deps deps-package
	@$(call stage,package $(PACKAGE_BUILD),packaging/build-package.sh $(PACKAGE_BUILD) $(JOBS))

test: deps deps-test deps-package build test-normal test-asan test-fuzz

test-normal: build
	@$(call stage,ctest $(BUILD),ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure --no-tests=error)

test-asan: $(ASAN_BUILD)/build.ninja
	@$(call werror,$(ASAN_BUILD))
	@$(call stage,build $(ASAN_BUILD),cmake --build $(ASAN_BUILD) -j $(JOBS))
	@$(call stage,ctest $(ASAN_BUILD) (unit),$(SANITIZER_ENV) ctest --test-dir $(ASAN_BUILD) -L unit -j $(JOBS) --output-on-failure --no-tests=error)

# Each fuzzer works on a copy of its seed corpus inside the fuzz tree, so that what it finds
# (new inputs, crash files) stays out of the repository. The end of its log is shown on a failure.
test-fuzz: $(FUZZ_BUILD)/build.ninja
	@$(call werror,$(FUZZ_BUILD))
	@$(call stage,build $(FUZZ_BUILD),cmake --build $(FUZZ_BUILD) -j $(JOBS))
	@[[ -n "$(strip $(FUZZERS))" ]] || { echo "no fuzz targets found in tests/fuzz/CMakeLists.txt"; exit 1; }
	@for f in $(FUZZERS); do \
	  work=$(FUZZ_BUILD)/corpus/$$f; log=$(FUZZ_BUILD)/logs/$$f.log; \
	  rm -rf "$$work"; mkdir -p "$$work" $(FUZZ_BUILD)/logs $(FUZZ_BUILD)/artifacts; \
	  if compgen -G "tests/fuzz/corpus/$$f/*" >/dev/null; then cp tests/fuzz/corpus/$$f/* "$$work"/; fi; \
	  start=$$(date +%s); echo "== fuzz $$f ($(FUZZ_SECONDS) s)"; \
	  if ! $(FUZZ_BUILD)/tests/fuzz/$$f -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=4096 \
	       -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$f- "$$work" >"$$log" 2>&1; then \
	    tail -n 150 "$$log"; \
	    echo "== fuzz $$f FAILED (full log: $$log; the input is in $(FUZZ_BUILD)/artifacts/," \
	         "replay it with $(FUZZ_BUILD)/tests/fuzz/$$f FILE)"; \
	    exit 1; \
	  fi; \
	  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$$log" || true; \
	  echo "== fuzz $$f: $$(( $$(date +%s) - start )) s, corpus $$(ls "$$work" | wc -l) inputs"; \
	done

# Repeated code is looked for in what this branch adds since it left $(LINT_BASE), uncommitted
# changes included. The tool is not on every machine (not on a fresh CI machine): then it is
# skipped, and so it is without a $(LINT_BASE) branch to compare with.
lint: deps-lint
	@$(call stage,format,tools/check-format.sh)
	@if ! command -v duplicates >/dev/null; then \
	  echo "== duplicates: not installed, the check for repeated code is skipped"; \
	elif ! base=$$(git merge-base HEAD $(LINT_BASE) 2>/dev/null); then \
	  echo "== duplicates: no branch $(LINT_BASE) to compare with, the check is skipped"; \
	else \
	  $(call stage,duplicates since $(LINT_BASE),duplicates --change --base "$$base"); \
	fi

# Every bench_* program that bench/CMakeLists.txt builds, one after the other. bench_startup
# starts the program it measures, so it is built with it; it is missing only without libxcb.
bench: deps build
	@( $(call install_missing,$(BENCH_PACKAGES)) ) || \
	  echo "Could not install $(BENCH_PACKAGES): bench_startup runs without it"
	@[[ -x $(BUILD)/bench/bench_startup ]] || \
	  { echo "$(BUILD)/bench/bench_startup was not built (libxcb1-dev missing?)"; exit 1; }
	@for b in $(BUILD)/bench/bench_*; do \
	  [[ -f "$$b" && -x "$$b" ]] || continue; \
	  echo "== $$(basename "$$b")"; \
	  QT_QPA_PLATFORM=offscreen "$$b"; \
	done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(PACKAGE_BUILD)
