# The two commands of the README: `make run` and `make test`. Both install what is missing.
BUILD ?= build
JOBS ?= 2

.PHONY: all deps configure build run test clean release

all: build

deps:
	@scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Only the two programs it runs: a fresh clone shows the first screen without building a test.
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target linkspy qz7emu
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

# Installing: the programs, manual pages, README, service unit and tmpfiles rule under PREFIX
# (and DESTDIR). The Debian package, built from debian/ by dpkg-buildpackage in a temporary
# folder, holds the same under /usr; package-check runs lintian on it and its source package.
PREFIX ?= /usr/local
.PHONY: install package package-check package-win32 test-service
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

package: deps
	scripts/make-package .

# lintian leaves files in its temporary folder: it gets one of its own, removed after.
package-check: deps
	@scripts/install-deps --lintian
	packages=$$(scripts/make-package .) && scratch=$$(mktemp -d -t linkspy-lintian-XXXXXX) && \
	  { TMPDIR=$$scratch lintian --fail-on error,warning $$packages; status=$$?; \
	    rm -rf $$scratch; exit $$status; }

# The package under a real systemd: a Debian 12 root (made once by debootstrap, kept in
# /var/cache/linkspy-test-root) booted with systemd-nspawn, qz7emu on this machine. As root.
SERVICE_PACKAGE ?= $(BUILD)/service-package
test-service: configure
	@scripts/install-deps --service
	cmake --build $(BUILD) -j $(JOBS) --target qz7emu
	LINKSPY_DEB=$$(DEB_BUILD_OPTIONS=nocheck scripts/make-package $(SERVICE_PACKAGE) | head -n 1) && \
	  LINKSPY_BUILD=$(abspath $(BUILD)) LINKSPY_DEB=$$LINKSPY_DEB python3 tests/service/test_service.py

# The Win32 console program: the product is a 32-bit (i686, PE32) exe cross-built with
# mingw-w64 into WIN32_BUILD; the zip ships it stripped. WIN64_TEST_BUILD holds the same sources
# built for x86-64, a test build only, never shipped.
WIN32_BUILD ?= build-win32
WIN64_TEST_BUILD ?= build-win64-test

.PHONY: win32 win64-test test-win32

# $(call cross_build,FOLDER,ARCH) configures FOLDER for mingw-w64's ARCH compiler and builds it.
# A folder configured with another compiler starts afresh: cmake keeps the compiler it has.
define cross_build
	@scripts/install-deps --win32
	@grep -qs 'CMAKE_CXX_COMPILER:.*$(2)-w64-mingw32' $(1)/CMakeCache.txt || \
	  rm -rf $(1)/CMakeCache.txt $(1)/CMakeFiles
	cmake -S . -B $(1) --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DLINKSPY_WIN_ARCH=$(2) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(1) -j $(JOBS)
endef

win32:
	$(call cross_build,$(WIN32_BUILD),i686)

win64-test:
	$(call cross_build,$(WIN64_TEST_BUILD),x86_64)

# The zip for Windows: the stripped linkspy.exe, README.TXT and the manual LINKSPY.TXT.
package-win32: win32
	scripts/make-win32-zip $(WIN32_BUILD) .

# What CI runs for Windows. The checks of the built files (a stripped PE32 importing only
# system DLLs, its version resource, the zip's texts) always take the 32-bit product. The
# runtime tests (linkspy.exe under Wine against qz7emu) take it too, in a 32-bit Wine prefix,
# where the kernel runs 32-bit programs; where it does not (ia32 emulation off, as on the CI
# machines), they take the 64-bit test build under wine64 in a 64-bit prefix instead, built
# here only then. The run's first and last lines say which program ran and why. The Wine
# prefixes are cached under ~/.cache/linkspy; qz7emu comes from the Linux build.
test-win32: build win32 package-win32
	@python3 tests/e2e_win32/wine.py --wine32-starts || $(MAKE) --no-print-directory win64-test
	LINKSPY_BUILD=$(abspath $(BUILD)) LINKSPY_WIN32_BUILD=$(abspath $(WIN32_BUILD)) \
	  LINKSPY_WIN64_TEST_BUILD=$(abspath $(WIN64_TEST_BUILD)) \
	  LINKSPY_SOURCE=$(CURDIR) python3 -W ignore::ResourceWarning tests/e2e_win32/run.py

# The benchmark (not part of the tests): floods into linkspy against the bare limit, then the
# cost of a line and the screen's latency on a steady line (BENCH_ARGS=--only steady: that alone).
.PHONY: bench fuzz sanitize
bench: build
	@scripts/install-deps --bench
	python3 bench/run_bench.py --build $(BUILD) $(BENCH_ARGS)

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
