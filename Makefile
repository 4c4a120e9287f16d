# Thin doors onto the CMake presets. Each target first installs the Debian
# packages it needs and nothing more (scripts/install-deps TASK), then builds
# with scripts/build, which configures the preset and runs Ninja quietly.
.PHONY: help deps demo build install uninstall test test-asan test-tsan stress crash fuzz bench bench-follow package format format-check lint clean
.DEFAULT_GOAL := help
SHELL := /bin/bash

help:
	@echo "rotolog: make TARGET, where TARGET is one of"
	@echo "  demo          build the library and run the demo (the fastest first step)"
	@echo "  test          build everything (build/release) and run every test"
	@echo "  test-asan     every test under AddressSanitizer + UndefinedBehaviorSanitizer (2 to 4 minutes)"
	@echo "  test-tsan     every test under ThreadSanitizer (2 minutes)"
	@echo "  stress        10,000 writers of one file killed at random (2 to 3 minutes)"
	@echo "  crash         machine crashes and power cuts simulated in their long form"
	@echo "  fuzz          each of the 5 libFuzzer targets for 5 minutes (clang), two at a time: 15 minutes and the build"
	@echo "  bench         rotolog beside Boost, spdlog and system calls, then bench-follow (about 5 minutes)"
	@echo "  bench-follow  rotolog-cat --follow: idle CPU, latency, write rate beside it (about 30 seconds)"
	@echo "  install       build the library and rotolog-cat, install them into PREFIX (/usr/local; DESTDIR too)"
	@echo "  uninstall     remove what the last install listed in build/release/install_manifest.txt"
	@echo "  package       the Debian packages, in build/package"
	@echo "  format        clang-format the sources;  format-check: report what it would change"
	@echo "  lint          clang-tidy over the library"
	@echo "  deps          install the packages of every target (what .ci/run needs)"
	@echo "  clean         remove build/"

deps:
	@scripts/install-deps all

demo:
	@scripts/install-deps demo
	@scripts/build release rotolog_demo
	@./build/release/examples/rotolog_demo build/release/rotolog-demo.cyclic

# Everything, and each public header compiled alone (CMake's header set
# verification, which no other target builds).
build:
	@scripts/install-deps test
	@scripts/build release all all_verify_interface_header_sets

# cmake --install of the release build, after building what it installs (an
# install of a tree not built whole stops before copying anything:
# cmake/rotolog_install_guard.cmake). PREFIX is where it goes; DESTDIR, as
# everywhere, stages it under another root. CMake lists what it installed in
# build/release/install_manifest.txt, which make uninstall removes.
PREFIX ?= /usr/local
install:
	@scripts/install-deps demo
	@scripts/build release rotolog rotolog_cat
	@DESTDIR="$(DESTDIR)" cmake --install build/release --prefix "$(PREFIX)"
	@echo "install: $$(grep -c "" build/release/install_manifest.txt) files into $(DESTDIR)$(PREFIX)," \
	  "listed in build/release/install_manifest.txt (make uninstall removes them)"

uninstall:
	@DESTDIR="$(DESTDIR)" scripts/uninstall build/release/install_manifest.txt

# The tests through scripts/run-tests: a line per failure with its output,
# a line per skip with its reason, one summary line; ctest's exit status.
test: build
	@scripts/run-tests --preset release

test-asan:
	@scripts/install-deps test
	@scripts/build asan
	@scripts/run-tests --preset asan

test-tsan:
	@scripts/install-deps test
	@scripts/build tsan
	@scripts/run-tests --preset tsan

# Benchmarks against the peers: an optimised build, five repetitions of each
# measurement in random order (so that a noisy spell of the machine does not
# fall on one contender), then the table of medians and ratios (and a chart)
# from the JSON. BENCH_ARGS passes more options, e.g. BENCH_ARGS=--benchmark_filter=memory.
bench:
	@scripts/install-deps bench
	@scripts/build bench rotolog_bench
	@scripts/run-bench build/bench $(BENCH_ARGS)
	@$(MAKE) --no-print-directory bench-follow

# rotolog-cat --follow (about 30 seconds): the CPU an idle follower uses, the
# time from a write to its line on the follower's output, and the write rate
# with and without a follower copying beside the writer.
bench-follow:
	@scripts/install-deps bench
	@scripts/build bench rotolog_follow_bench
	@build/bench/bench/rotolog_follow_bench

# The kill-loop stress in its long form: 10,000 writer kills, every message
# read back whole and in order; the lock takeover times are printed as figures.
stress:
	@scripts/install-deps test
	@scripts/build release rotolog_stress
	@./build/release/tests/rotolog_stress --kills 10000

# Machine crashes and power cuts in their long form: 20,000 files cut page by
# page from two moments, and 2,000 flush-mode runs cut inside a flush, eight
# cuts each; prints the figures.
crash:
	@scripts/install-deps test
	@scripts/build release cyclic_file_crash_test cyclic_file_flush_test
	@set -o pipefail; ROTOLOG_CRASH_CUTS=20000 ./build/release/tests/cyclic_file_crash_test \
	  --gtest_filter='*MachineCrash*' | grep -E 'machine crashes|OK|FAILED'
	@set -o pipefail; ROTOLOG_POWER_CUT_RUNS=2000 ./build/release/tests/cyclic_file_flush_test \
	  --gtest_filter='PowerCut*' | grep -E 'power cuts|OK|FAILED'

# Each libFuzzer target for 5 minutes (scripts/ci-fuzz runs 1 minute each).
fuzz:
	@FUZZ_SECONDS=300 scripts/ci-fuzz

# Debian packages (librotolog0, librotolog-dev, rotolog-tools) in build/package.
package:
	@scripts/install-deps package
	@scripts/build package package

# House style (.clang-format, .clang-tidy; the tools are version 14).
CLANG_FORMAT ?= clang-format
CLANG_TIDY ?= clang-tidy
FORMAT_DIRS := CYCLIC_FILES tests examples bench tools
format_sources = $(shell find $(FORMAT_DIRS) -name '*.c' -o -name '*.cpp' -o -name '*.h' 2>/dev/null)
lint_sources = $(shell find CYCLIC_FILES -name '*.cpp')

format:
	@scripts/install-deps format
	@$(CLANG_FORMAT) -i $(format_sources)

format-check:
	@scripts/install-deps format
	@$(CLANG_FORMAT) --dry-run -Werror $(format_sources)

# clang-tidy over the library and its platform libraries, with the compile
# commands of the release build. Only its findings are shown: the counters it
# prints for every file ("N warnings generated.") are dropped.
lint:
	@scripts/install-deps lint
	@scripts/configure release
	@set -o pipefail; printf '%s\n' $(lint_sources) \
	  | xargs -P 2 -n 4 $(CLANG_TIDY) -p build/release --quiet 2>&1 \
	  | { grep -Ev '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$$' || true; }

clean:
	rm -rf build
