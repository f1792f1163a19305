# Quick start: `make run` builds lunscan and runs it on the bundled demo host; `make test` runs
# every test (plain build and a sanitizer build); `make test-windows` cross-builds for Windows and
# runs the tests under Wine; `make fuzz` runs every fuzz target FUZZ_SECONDS each (`make fuzz-smoke`: 20 s each);
# `make bench` prints the scan benchmark's table (BENCH_SIZES="256 1024" for a shorter run).
# `make install` (PREFIX, DESTDIR), `make deb` and `make zip-windows` build what administrators install.
# `make test-linux-guest` boots a QEMU guest with emulated SCSI disks and checks lunscan there;
# `make bench-guest` times it on 256 LUNs in such a guest.
BUILD      ?= build
BUILD_SAN  ?= build-san
BUILD_WIN  ?= build-win
BUILD_FUZZ ?= build-fuzz
BUILD_PKG  ?= build-pkg
PREFIX     ?= /usr/local
BUILD_GUEST ?= build-guest
JOBS       ?= 2
DEMO_HOST  ?= examples/demo-host.json
LUNSCAN_ARGS ?=
FUZZ_SECONDS ?= 60
BENCH_SIZES ?=

.PHONY: all deps run test test-native test-san test-windows fuzz fuzz-smoke bench install deb zip-windows test-linux-guest bench-guest clean

all: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@scripts/ensure-packages.sh native

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja

run: all
	SIL_SIM_HOST=$(DEMO_HOST) $(BUILD)/sil/lunscan $(LUNSCAN_ARGS)

test: test-native test-san

test-native: all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-san: deps
	cmake -S . -B $(BUILD_SAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSIL_SANITIZE=ON
	cmake --build $(BUILD_SAN) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(BUILD_SAN) --output-on-failure -j $(JOBS)

test-windows:
	@scripts/ensure-packages.sh windows
	cmake -S . -B $(BUILD_WIN) -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake
	cmake --build $(BUILD_WIN) -j $(JOBS)
	JOBS=$(JOBS) scripts/run-wine-tests.sh $(BUILD_WIN)

fuzz:
	@scripts/ensure-packages.sh native fuzz
	CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -G Ninja -DSIL_FUZZ=ON -DSIL_BUILD_TESTS=OFF
	cmake --build $(BUILD_FUZZ) -j $(JOBS)
	scripts/run-fuzzers.sh $(BUILD_FUZZ) $(FUZZ_SECONDS)

# A short run of every target, as CI makes after the tests.
fuzz-smoke:
	$(MAKE) fuzz FUZZ_SECONDS=20

# Installs lunscan, its manual page and its documents under PREFIX (DESTDIR is honoured).
install: all
	cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package, from a release build of its own, then checked (lintian, unpacked and run).
deb:
	@scripts/ensure-packages.sh native package
	cmake -S . -B $(BUILD_PKG) -G Ninja -DCMAKE_BUILD_TYPE=Release -DSIL_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(BUILD_PKG) -j $(JOBS)
	cd $(BUILD_PKG) && cpack -G DEB
	scripts/check-deb.sh $(BUILD_PKG)/lunscan_*_amd64.deb

# The Windows zip, from the cross build, then unpacked and run under Wine.
zip-windows:
	@scripts/ensure-packages.sh windows
	cmake -S . -B $(BUILD_WIN) -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake
	cmake --build $(BUILD_WIN) -j $(JOBS) --target lunscan
	cd $(BUILD_WIN) && cpack -G ZIP
	scripts/check-zip-windows.sh $(BUILD_WIN) $(BUILD_WIN)/lunscan-*-win64.zip

# The guest runs a Release build of its own; QEMU, the kernel and the SCSI tools come from Debian.
test-linux-guest:
	@scripts/ensure-packages.sh native guest
	JOBS=$(JOBS) scripts/linux-guest/test.sh $(BUILD_GUEST)

bench-guest:
	@scripts/ensure-packages.sh native guest
	JOBS=$(JOBS) scripts/linux-guest/bench.sh $(BUILD_GUEST)

# Wall time, CPU, memory and commands per device on generated SAN hosts: a measurement, not a test.
bench: all
	python3 scripts/bench/run.py $(BUILD) $(BENCH_SIZES)

clean:
	rm -rf $(BUILD) $(BUILD_SAN) $(BUILD_WIN) $(BUILD_FUZZ) $(BUILD_PKG) $(BUILD_GUEST)
