# Thin front end over CMake presets. `make demo`, `make test` and `make bench`
# each install what is missing first, so they work on a fresh machine.
JOBS ?= $(shell nproc)

.PHONY: deps demo test tsan bench fuzz fuzz-seeds format clean

deps:
	@bash scripts/install-deps.sh

demo: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target brenvik_demo brenvik_ffi
	./build/release/tools/brenvik_demo

test: deps
	cmake --preset test >/dev/null
	cmake --build --preset test -j $(JOBS)
	ctest --preset test -j $(JOBS)

# The facade's concurrency tests under ThreadSanitizer: only the library and
# that one test binary are built.
tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ./build/tsan/tests/bindings/test_ffi_threads

bench: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	@set -e; for b in build/release/bench/bench_*; do echo "== $$b"; $$b --benchmark_min_time=0.2; done
	@bash scripts/interop-npm.sh
	@echo "== tests/interop/interop.mjs --bench (engine vs ts-mls)"
	node tests/interop/interop.mjs build/release/tests/interop/mls_interop --bench 10

# Builds the libFuzzer targets with Clang 16 and runs each for FUZZ_SECONDS
# (default 60), reporting exec/s, coverage and findings (scripts/fuzz.sh).
fuzz:
	@bash scripts/fuzz.sh

# Rewrites the generated seeds of every fuzz corpus (run when an encoding changes).
fuzz-seeds: deps
	cmake --preset test >/dev/null
	cmake --build --preset test -j $(JOBS) --target fuzz_seed_gen
	./build/test/tests/fuzz/fuzz_seed_gen tests/fuzz/corpus

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
