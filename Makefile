# Thin doors onto the CMake presets. `make demo` and `make test` first install
# whatever Debian packages are missing (scripts/install-deps).
.PHONY: deps demo test test-asan test-tsan stress crash fuzz build bench bench-follow package format format-check lint clean

deps:
	@scripts/install-deps

build: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release

demo: build
	@./build/release/examples/rotolog_demo build/release/rotolog-demo.cyclic

test: build
	@ctest --preset release

test-asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan
	@ctest --preset asan

test-tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan
	@ctest --preset tsan

# Benchmarks against the peers: an optimised build, five repetitions of each
# measurement in random order (so that a noisy spell of the machine does not
# fall on one contender), then the table of medians and ratios (and a chart)
# from the JSON. BENCH_ARGS passes more options, e.g. BENCH_ARGS=--benchmark_filter=memory.
BENCH_DIR := build/bench
bench: deps
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench --target rotolog_bench >/dev/null
	@echo "bench: running (about 4 minutes); console log in $(BENCH_DIR)/results.txt"
	@$(BENCH_DIR)/bench/rotolog_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
	  --benchmark_enable_random_interleaving=true \
	  --benchmark_out=$(BENCH_DIR)/results.json --benchmark_out_format=json $(BENCH_ARGS) \
	  > $(BENCH_DIR)/results.txt 2>&1
	@python3 bench/report.py $(BENCH_DIR)/results.json --svg $(BENCH_DIR)/results.svg | tee $(BENCH_DIR)/results.md
	@$(MAKE) --no-print-directory bench-follow

# rotolog-cat --follow (about 30 seconds): the CPU an idle follower uses, the
# time from a write to its line on the follower's output, and the write rate
# with and without a follower copying beside the writer.
bench-follow: deps
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench --target rotolog_follow_bench >/dev/null
	@$(BENCH_DIR)/bench/rotolog_follow_bench

# The kill-loop stress in its long form: 10,000 writer kills, every lock
# takeover within 50 ms, every message read back whole and in order.
stress: build
	@./build/release/tests/rotolog_stress --kills 10000 --takeover-limit-ms 50

# Machine crashes and power cuts in their long form: 20,000 files cut page by
# page from two moments, and 2,000 flush-mode runs cut inside a flush, eight
# cuts each; prints the figures.
crash: build
	@ROTOLOG_CRASH_CUTS=20000 ./build/release/tests/cyclic_file_crash_test \
	  --gtest_filter='*MachineCrash*' | grep -E 'machine crashes|OK|FAILED'
	@ROTOLOG_POWER_CUT_RUNS=2000 ./build/release/tests/cyclic_file_flush_test \
	  --gtest_filter='PowerCut*' | grep -E 'power cuts|OK|FAILED'

# Each libFuzzer target for 5 minutes (scripts/ci-fuzz runs 1 minute each).
fuzz: deps
	@FUZZ_SECONDS=300 scripts/ci-fuzz

# Debian packages (librotolog0, librotolog-dev, rotolog-tools) in build/package.
package: deps
	@cmake --preset package >/dev/null
	@cmake --build --preset package --target package

# House style (.clang-format, .clang-tidy; the tools are version 14).
CLANG_FORMAT ?= clang-format
CLANG_TIDY ?= clang-tidy
FORMAT_DIRS := CYCLIC_FILES tests examples bench tools
format_sources = $(shell find $(FORMAT_DIRS) -name '*.c' -o -name '*.cpp' -o -name '*.h' 2>/dev/null)
lint_sources = $(shell find CYCLIC_FILES -name '*.cpp')

format:
	@$(CLANG_FORMAT) -i $(format_sources)

format-check:
	@$(CLANG_FORMAT) --dry-run -Werror $(format_sources)

# clang-tidy over the library and its platform libraries, with the compile
# commands of the release build.
lint: deps
	@cmake --preset release >/dev/null
	@printf '%s\n' $(lint_sources) | xargs -P 2 -n 4 $(CLANG_TIDY) -p build/release --quiet

clean:
	rm -rf build
