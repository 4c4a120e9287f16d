# Thin doors onto the CMake presets. `make demo` and `make test` first install
# whatever Debian packages are missing (scripts/install-deps).
.PHONY: deps demo test test-asan test-tsan build bench clean

deps:
	@scripts/install-deps

build: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release

demo: build
	@./build/release/examples/rotolog_demo

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
# measurement, then the table of medians and ratios (and a chart) from the
# JSON. BENCH_ARGS passes more options, e.g. BENCH_ARGS=--benchmark_filter=memory.
BENCH_DIR := build/bench
bench: deps
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench --target rotolog_bench
	@echo "bench: running (a few minutes); console log in $(BENCH_DIR)/results.txt"
	@$(BENCH_DIR)/bench/rotolog_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
	  --benchmark_out=$(BENCH_DIR)/results.json --benchmark_out_format=json $(BENCH_ARGS) > $(BENCH_DIR)/results.txt
	@python3 bench/report.py $(BENCH_DIR)/results.json --svg $(BENCH_DIR)/results.svg | tee $(BENCH_DIR)/results.md

clean:
	rm -rf build
