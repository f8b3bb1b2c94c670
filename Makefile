# Thin wrapper over CMake: `make demo` runs an update against the simulated
# card, `make test` builds everything and runs every test.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all build demo test sanitize clean dist bench bench-quick

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	bash tools/demo.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

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

# Speed against what the serial line allows: every mode against card-sim on
# a line paced at its bit rate, and again behind a USB adapter's 16 ms
# latency timer; prints the table and writes it as CSV (bench/bench.py
# explains the columns).  bench-quick is the subset for CI (under three
# minutes) and fails when a row misses its target.
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
	rm -rf $(BUILD) $(SANITIZE_BUILD)

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
