# make demo: install what is missing, build, run the demo.
# make test: install what is missing, build with AddressSanitizer and UBSan, run every test.
BUILD ?= build
TEST_BUILD ?= build-asan
JOBS ?= $(shell nproc)

.PHONY: all deps build demo test clean deb package-check
# A bare `make` only builds; `deps`, `demo`, `test`, `tsan`, `fuzz` install what is missing.
all: build

deps:
	@scripts/install-deps.sh

build:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

demo: deps build
	scripts/demo.sh $(BUILD)

test: deps
	cmake -S . -B $(TEST_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DFERROX_SANITIZE=ON
	cmake --build $(TEST_BUILD) -j $(JOBS)
	cd $(TEST_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 300

clean:
	rm -rf $(BUILD) $(TEST_BUILD)

FUZZ_SECONDS ?= 60
.PHONY: fuzz bench
fuzz: deps
	scripts/fuzz.sh $(FUZZ_SECONDS)

bench: deps build
	bench/decode_vs_gpsdecode.sh $(BUILD)
	$(BUILD)/bin/accuracy
	$(BUILD)/bin/accuracy --svg docs/lab
	bench/end_to_end.py $(BUILD)/bin
	bench/serving.py $(BUILD)/bin
	bench/cells_at_scale.py $(BUILD)/bin

TSAN_BUILD ?= build-tsan
.PHONY: tsan
# The threaded tests (and the rest) under ThreadSanitizer, the host tests too: frxd is built with
# it as well and halts on the first race it sees, which fails the test that drives it.
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DFERROX_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) -L 'unit|integration' --timeout 120

DEB_BUILD ?= build-deb
# The Debian package: programs in /usr/bin, modules in /usr/lib/<triplet>/ferrox, data in
# /usr/share/ferrox, man pages, the user unit, the udev rule; in $(DEB_BUILD)/package.
deb: deps
	cmake -S . -B $(DEB_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DFERROX_TESTS=OFF
	cmake --build $(DEB_BUILD) -j $(JOBS)
	cd $(DEB_BUILD) && cpack -G DEB

# The package checked as a user meets it: lintian, installed, the demo from the installed paths,
# removed without leftovers (needs root for dpkg).
package-check: deb
	scripts/package-check.sh $(DEB_BUILD)/package
