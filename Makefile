# The two commands: `make run` and `make test`. Everything else is a helper for them.
PRESET ?= dev
BUILD_DIR := build/$(PRESET)
JOBS ?= $(shell nproc)

.PHONY: deps configure build test run format check-format bench asan tsan clean

deps:
	@./tools/install-deps.sh

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build check-format
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 600

run: build
	@./tools/run.sh $(BUILD_DIR)

check-format:
	@./tools/check-format.sh

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

asan:
	@$(MAKE) --no-print-directory test PRESET=asan

tsan: deps
	@cmake --preset tsan >/dev/null && cmake --build build/tsan -j $(JOBS)
	@cd build/tsan && ctest --output-on-failure -L "core|sound" -j $(JOBS) --timeout 900

bench: deps
	@cmake --preset release >/dev/null && cmake --build build/release -j $(JOBS)
	@./tools/run-benchmarks.sh build/release

clean:
	@rm -rf build
