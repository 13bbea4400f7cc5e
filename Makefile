# Entry points; see README.md.
BUILD     ?= build
JOBS      ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all deps build test demo gui bench tsan asan fuzz soak screenshot install package windows windows-test clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS) >/dev/null

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 900

demo: build
	scripts/demo.sh $(BUILD)

gui: build
	$(BUILD)/bin/nuvix

bench: build
	scripts/bench.sh $(BUILD)

# ThreadSanitizer build running every engine test that starts threads.
tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DNUVIX_SANITIZE=thread -DNUVIX_BUILD_FRONTEND=OFF >/dev/null
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/engine/tests/tsan_suppressions.txt" ctest --output-on-failure -j $(JOBS) -L engine --timeout 900

# AddressSanitizer + UndefinedBehaviorSanitizer build running the whole suite.
asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DNUVIX_SANITIZE=address,undefined >/dev/null
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0" UBSAN_OPTIONS="print_stacktrace=1" \
	  LSAN_OPTIONS="suppressions=$(CURDIR)/frontend/tests/lsan_suppressions.txt" ctest --output-on-failure -j $(JOBS) --timeout 900

# libFuzzer targets (clang) for the parsers that take outside input, each run for
# FUZZ_SECONDS from the committed seed corpus in fuzz/corpus.
FUZZ_SECONDS ?= 60
fuzz: deps
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DNUVIX_FUZZ=ON -DNUVIX_BUILD_TESTS=OFF -DNUVIX_SANITIZE=address,undefined >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target nuvix_fuzzers
	scripts/fuzz.sh build-fuzz $(FUZZ_SECONDS)

# A live HLS source relayed for SOAK_MINUTES (not part of make test): the engine's memory
# sampled every 10 s and the pacing drift at the receiver; figures in <build>/soak/.
SOAK_MINUTES ?= 10
soak: build
	scripts/soak.sh $(BUILD) $(SOAK_MINUTES)

screenshot: build
	scripts/screenshot.sh $(BUILD)

# The engine for Windows x86-64, cross-built with mingw-w64 into build-windows/ together
# with FFmpeg, libsrt and mbedtls from Debian's source packages (built once per version
# and configuration): build-windows/kby_nuvix-win64.zip. Not part of make test.
windows: deps
	JOBS=$(JOBS) scripts/windows-build.sh build-windows

# The Windows engine under Wine against the loopback HTTP server and SRT listener of the
# Linux tests (about a minute once make windows has run).
windows-test: windows deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target srt_test_listener
	scripts/windows_test.py $(BUILD) build-windows

# The programs side by side in <prefix>/bin, the menu entry, icons and help; the
# prefix is /usr/local unless PREFIX (or CMAKE_INSTALL_PREFIX when configuring) says otherwise.
PREFIX ?=
install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

# A Debian package (installs under /usr) in $(BUILD), its dependencies read off the programs.
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf build build-tsan build-asan build-fuzz build-windows
