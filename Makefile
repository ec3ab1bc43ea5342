# The two commands: `make run` and `make test`. Everything else is a helper for them.
PRESET ?= dev
BUILD_DIR := build/$(PRESET)
JOBS ?= $(shell nproc)

.PHONY: deps configure build test run package format check-format bench asan tsan clean
.PHONY: suite

deps:
	@./tools/install-deps.sh

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# The whole suite in the normal build; under AddressSanitizer+UBSan all but the timing tests,
# and under ThreadSanitizer the core and sound tests but the timing ones (the tsan build has no
# window: Qt is not instrumented). Exact timing is checked where the audio runs at full speed.
test: deps check-format
	@$(MAKE) --no-print-directory suite PRESET=dev
	@$(MAKE) --no-print-directory asan
	@$(MAKE) --no-print-directory tsan

# One build's suite, without the dependency check: PRESET=..., LABELS=... to pick tests and
# EXCLUDE=... to leave some out (ctest -L and -LE). Tests labelled heavy run alone.
# The window close loop runs METRONOME_CLOSE_RUNS times (its own default, run alone, is 1000):
# thirty closes, ten in each lane, land at every point of the 150 ms tick.
export METRONOME_CLOSE_RUNS ?= 30
suite:
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)
	@echo "== $(PRESET) suite"
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 900 \
		$(if $(LABELS),-L "$(LABELS)") $(if $(EXCLUDE),-LE "$(EXCLUDE)")

run: build
	@./tools/run.sh $(BUILD_DIR)

# The Debian package, built for /usr with Debian's hardening flags, in build/package/.
DEB_FLAGS = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get
package: deps
	@cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
		-DCMAKE_INSTALL_PREFIX=/usr \
		-DCMAKE_CXX_FLAGS="$$($(DEB_FLAGS) CXXFLAGS) $$($(DEB_FLAGS) CPPFLAGS)" \
		-DCMAKE_EXE_LINKER_FLAGS="$$($(DEB_FLAGS) LDFLAGS)" >/dev/null
	@cmake --build build/package -j $(JOBS)
	@cd build/package && cpack -G DEB

check-format:
	@./tools/check-format.sh

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

asan: deps
	@$(MAKE) --no-print-directory suite PRESET=asan EXCLUDE=timing

tsan: deps
	@$(MAKE) --no-print-directory suite PRESET=tsan LABELS="core|sound" EXCLUDE=timing

bench: deps
	@cmake --preset release >/dev/null && cmake --build build/release -j $(JOBS)
	@./tools/run-benchmarks.sh build/release

clean:
	@rm -rf build
