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

package-check: deps
	@scripts/install-deps --lintian
	lintian --fail-on error,warning $$(scripts/make-package .)

# The package under a real systemd: a Debian 12 root (made once by debootstrap, kept in
# /var/cache/linkspy-test-root) booted with systemd-nspawn, qz7emu on this machine. As root.
SERVICE_PACKAGE ?= $(BUILD)/service-package
test-service: deps
	@scripts/install-deps --service
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target qz7emu
	LINKSPY_DEB=$$(DEB_BUILD_OPTIONS=nocheck scripts/make-package $(SERVICE_PACKAGE) | head -n 1) && \
	  LINKSPY_BUILD=$(abspath $(BUILD)) LINKSPY_DEB=$$LINKSPY_DEB python3 tests/service/test_service.py

# The Win32 console program, cross-built with mingw-w64, and its tests under Wine.
WIN32_BUILD ?= build-win32

.PHONY: win32 test-win32

win32:
	@scripts/install-deps --win32
	cmake -S . -B $(WIN32_BUILD) --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(WIN32_BUILD) -j $(JOBS)

# The zip for Windows: linkspy.exe, a README for Windows and the manual page as text.
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
