# The two commands of the README: `make run` and `make test`. Both install what is missing.
BUILD ?= build
JOBS ?= 2

.PHONY: all deps build run test clean release

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

run: build
	scripts/run-demo $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)

# The optimised build, with every warning an error: CI builds it to keep -O3 warning-free.
RELEASE_BUILD ?= build-release
release: deps
	cmake -S . -B $(RELEASE_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-Werror >/dev/null
	cmake --build $(RELEASE_BUILD) -j $(JOBS)

# Installing: the programs, manual pages, README and service unit under PREFIX (and DESTDIR).
# The Debian package holds the same under /usr; package-check also runs lintian on it.
PREFIX ?= /usr/local
.PHONY: install package package-check package-win32
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

package: build
	scripts/make-deb $(BUILD) .

package-check: build
	@scripts/install-deps --lintian
	lintian --fail-on error $$(scripts/make-deb $(BUILD) .)

# The Win32 console program, a 32-bit (i686) exe cross-built with mingw-w64, and its tests
# under 32-bit Wine; the Wine prefix is cached under ~/.cache/linkspy.
WIN32_BUILD ?= build-win32

.PHONY: win32 test-win32

# A build folder configured with another compiler (the former 64-bit one) starts afresh.
win32:
	@scripts/install-deps --win32
	@grep -qs 'CMAKE_CXX_COMPILER:.*i686-w64-mingw32' $(WIN32_BUILD)/CMakeCache.txt || \
	  rm -rf $(WIN32_BUILD)/CMakeCache.txt $(WIN32_BUILD)/CMakeFiles
	cmake -S . -B $(WIN32_BUILD) --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(WIN32_BUILD) -j $(JOBS)

# The zip for Windows: the stripped linkspy.exe, README.TXT and the manual LINKSPY.TXT.
package-win32: win32
	scripts/make-win32-zip $(WIN32_BUILD) .

# qz7emu comes from the Linux build.
test-win32: build win32 package-win32
	LINKSPY_BUILD=$(abspath $(BUILD)) LINKSPY_WIN32_BUILD=$(abspath $(WIN32_BUILD)) \
	  LINKSPY_SOURCE=$(CURDIR) python3 -W ignore::ResourceWarning tests/e2e_win32/run.py

# The benchmark (not part of the tests): floods into linkspy against the bare limit.
.PHONY: bench fuzz sanitize
bench: build
	python3 bench/run_bench.py --build $(BUILD)

# The soak (not part of the tests): linkspy headless for SOAK_MINUTES at about 2,000 lines/s.
SOAK_MINUTES ?= 3
.PHONY: soak
soak: build
	python3 bench/soak.py --build $(BUILD) --minutes $(SOAK_MINUTES)

# libFuzzer targets for every reader of a received message, built with clang, ~20 s each.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 20
fuzz:
	@scripts/install-deps --fuzz
	cmake -S tests/fuzz -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	tests/fuzz/run-fuzzers $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The unit and end-to-end tests once under ASan+UBSan and once under TSan, each in its own build.
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
	  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
	  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	tests/sanitizers/run-sanitized $(ASAN_BUILD) asan
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
	  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" >/dev/null
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	tests/sanitizers/run-sanitized $(TSAN_BUILD) tsan
