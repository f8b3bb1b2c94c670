# Thin wrapper over CMake: `make demo` runs an update against the simulated
# card, `make test` builds everything and runs every test.  Both first
# install the Debian packages they lack (tools/deps.sh, which lists them).
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all configure build demo test sanitize fuzz faults clean dist deb bench bench-quick

all: build

configure:
	bash tools/deps.sh test
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_TESTS=ON $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The demo runs only the updater and card-sim: it needs a compiler and
# CMake, and configures without the tests (no GoogleTest, no Windows cross
# builds, no Wine).  `make test` in the same folder turns them on again.
demo:
	bash tools/deps.sh demo
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target updater card-sim
	bash tools/demo.sh $(BUILD)

# The last line says so when the Windows cases could not run (no MinGW-w64
# or Wine), with their count.
test: build
	rm -f $(BUILD)/wine-test/not-run
	cd $(BUILD) && status=0 && ctest --output-on-failure -j $(JOBS) || status=$$?; \
	  if [ -f wine-test/not-run ]; then echo; cat wine-test/not-run; fi; exit $$status

# The unit tests and the fast end-to-end scripts again, built with the
# address and undefined-behaviour sanitizers.
SANITIZE_BUILD ?= build-sanitize
sanitize:
	CXXFLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined" \
	  cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DUPDATER_WINDOWS=OFF $(CMAKE_FLAGS)
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && ctest --output-on-failure -j $(JOBS) -L unit
	cd $(SANITIZE_BUILD) && ctest --output-on-failure -j $(JOBS) \
	  -R 'e2e.test_(startup_rules|cardsim|fpga|edid|gamma|remote|verify_status)'

# The libFuzzer targets (clang): build them, replay the committed crash
# cases, then fuzz each for FUZZ_SECONDS from its seed corpus.  Fails on a
# crash, leaving the input under $(FUZZ_BUILD)/fuzz-work/artifacts.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 15
FUZZ_CXX ?= clang++
fuzz:
	CXX=$(FUZZ_CXX) cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_FUZZ=ON \
	  -DUPDATER_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers
	bash tests/fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The fault matrix: every mode against card-sim's injected faults, two
# cells at a time; then updates cut and run again after a power cycle, and
# every mode unplugged and interrupted with Ctrl-C (about 12 minutes;
# FAULTS_QUICK=1 runs the CI subset in about 5).  Fails on a false success,
# a hang, an unexpected outcome or an update the second run does not finish.
faults: configure
	cmake --build $(BUILD) -j $(JOBS) --target updater card-sim
	python3 tests/faults/matrix.py $(BUILD)/updater $(BUILD)/card-sim --jobs 2
	python3 tests/faults/rerun.py $(BUILD)/updater $(BUILD)/card-sim --jobs 2
	python3 tests/faults/unplug.py $(BUILD)/updater $(BUILD)/card-sim

# Speed against what the serial line allows: every mode against card-sim on
# a line paced at its bit rate, and again behind a USB adapter's 16 ms
# latency timer; prints the table and writes it as CSV (bench/bench.py
# explains the columns and the targets).  bench-quick is the subset for CI
# (under three minutes) and fails only when a row, measured twice, misses
# CI's limits, which leave room above a loaded machine's noise.
BENCH_OUT ?= bench/out
BENCH_ARGS = --updater $(BUILD)/updater --card-sim $(BUILD)/card-sim \
  --turn-floor $(BUILD)/bench/turn_floor

bench: build $(BUILD)/bench/turn_floor
	python3 bench/bench.py $(BENCH_ARGS) --csv $(BENCH_OUT)/bench.csv

bench-quick: build $(BUILD)/bench/turn_floor
	python3 bench/bench.py $(BENCH_ARGS) --quick --check --csv $(BENCH_OUT)/bench-quick.csv

$(BUILD)/bench/turn_floor: bench/turn_floor.cpp
	mkdir -p $(BUILD)/bench
	$(CXX) -O2 -std=c++17 -Wall -Wextra -o $@ bench/turn_floor.cpp

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(DEB_BUILD) $(FUZZ_BUILD)

# Release archives, named with the version from CMakeLists.txt:
#   dist/updater-V-windows.zip         x86/updater.exe (32-bit), x64/updater.exe, README.md
#   dist/updater-V-linux-ARCH.tar.gz   updater, card-sim, README.md
# The .exe files come from the MinGW-w64 builds that `make build` makes when
# the cross compilers are installed.  Binaries are stripped in the archives.
VERSION := $(shell sed -n 's/^project(updater VERSION \([0-9.]*\).*)/\1/p' CMakeLists.txt)
DIST ?= dist
ARCH := $(shell uname -m)
WIN_NAME := updater-$(VERSION)-windows
LINUX_NAME := updater-$(VERSION)-linux-$(ARCH)

dist: build
	@for f in $(BUILD)/windows-i686/updater.exe $(BUILD)/windows-x86_64/updater.exe; do \
	  test -f $$f || { echo "make dist: $$f is missing: install g++-mingw-w64-x86-64 and g++-mingw-w64-i686"; exit 1; }; \
	done
	rm -rf $(DIST)/stage
	mkdir -p $(DIST)/stage/$(WIN_NAME)/x86 $(DIST)/stage/$(WIN_NAME)/x64 $(DIST)/stage/$(LINUX_NAME)
	i686-w64-mingw32-strip -o $(DIST)/stage/$(WIN_NAME)/x86/updater.exe $(BUILD)/windows-i686/updater.exe
	x86_64-w64-mingw32-strip -o $(DIST)/stage/$(WIN_NAME)/x64/updater.exe $(BUILD)/windows-x86_64/updater.exe
	strip -o $(DIST)/stage/$(LINUX_NAME)/updater $(BUILD)/updater
	strip -o $(DIST)/stage/$(LINUX_NAME)/card-sim $(BUILD)/card-sim
	cp README.md $(DIST)/stage/$(WIN_NAME)/
	cp README.md $(DIST)/stage/$(LINUX_NAME)/
	rm -f $(DIST)/$(WIN_NAME).zip $(DIST)/$(LINUX_NAME).tar.gz
	cd $(DIST)/stage && cmake -E tar cf ../$(WIN_NAME).zip --format=zip $(WIN_NAME)
	cd $(DIST)/stage && cmake -E tar czf ../$(LINUX_NAME).tar.gz $(LINUX_NAME)
	rm -rf $(DIST)/stage
	@ls -l $(DIST)/$(WIN_NAME).zip $(DIST)/$(LINUX_NAME).tar.gz

# The Debian package dist/updater_V-1_ARCH.deb: updater and card-sim in
# /usr/bin, their manual pages, README and copyright, built apart from the
# test build with Debian's hardening flags (dpkg-buildflags) and stripped.
# Its Depends come from dpkg-shlibdeps.  Check it with `lintian dist/*.deb`.
# Dates in the package (changelog, file times) are the last commit's.
DEB_BUILD ?= build-deb
deb: export SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null)
deb:
	DEB_BUILD_MAINT_OPTIONS=hardening=+all; export DEB_BUILD_MAINT_OPTIONS; \
	CXXFLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CXXFLAGS)" \
	  LDFLAGS="$$(dpkg-buildflags --get LDFLAGS)" \
	  cmake -S . -B $(DEB_BUILD) -DCMAKE_BUILD_TYPE=None -DUPDATER_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(DEB_BUILD) -j $(JOBS)
	cd $(DEB_BUILD) && cpack -G DEB -D CPACK_OUTPUT_FILE_PREFIX=$(abspath $(DIST))
	@ls -l $(DIST)/updater_$(VERSION)-*.deb

# Installs updater and card-sim in $(PREFIX)/bin and their manual pages in
# $(PREFIX)/share/man/man1 (PREFIX is /usr/local unless given; DESTDIR
# stages the files under another root, as packagers do).
PREFIX ?= /usr/local
.PHONY: install
install: configure
	cmake --build $(BUILD) -j $(JOBS) --target updater card-sim
	install -d $(DESTDIR)$(PREFIX)/bin $(DESTDIR)$(PREFIX)/share/man/man1
	install -m 755 $(BUILD)/updater $(BUILD)/card-sim $(DESTDIR)$(PREFIX)/bin/
	for page in updater card-sim; do \
	  sed 's/@PROJECT_VERSION@/$(VERSION)/g' packaging/$$page.1.in >$(DESTDIR)$(PREFIX)/share/man/man1/$$page.1 && \
	  chmod 644 $(DESTDIR)$(PREFIX)/share/man/man1/$$page.1 || exit 1; \
	done
