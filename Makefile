# Thin doors onto the CMake presets. `make demo` and `make test` first install
# whatever Debian packages are missing (scripts/install-deps).
.PHONY: deps demo test test-asan test-tsan build clean

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

clean:
	rm -rf build
