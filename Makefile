# Entry point of the build. See README.md.
BUILD        ?= build
BUILD_SAN    ?= build-sanitize
BUILD_TSAN   ?= build-tsan
BUILD_CLANG  ?= build-clang
BUILD_FUZZ   ?= build-fuzz
FUZZ_SECONDS ?= 30
BUILD_ARM    ?= build-arm
BUILD_BENCH  ?= build-bench
ARM_SYSROOT  ?= /usr/arm-linux-gnueabihf
JOBS         ?= $(shell nproc)
CTEST_FLAGS  ?= --output-on-failure -j $(JOBS)
PREFIX       ?=

.PHONY: all test test-clang test-sanitize test-tsan test-fuzz test-arm install bench demo clean

all: $(BUILD)/build.ninja
	cmake --build $(BUILD)

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja

test:
	./scripts/setup-deps.sh native
	cmake -S . -B $(BUILD) -G Ninja
	cmake --build $(BUILD)
	cd $(BUILD) && ctest $(CTEST_FLAGS)

# The same tests built by clang (the fuzz set installs it).
test-clang:
	./scripts/setup-deps.sh native fuzz
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_CLANG) -G Ninja
	cmake --build $(BUILD_CLANG)
	cd $(BUILD_CLANG) && ctest $(CTEST_FLAGS)

test-sanitize:
	./scripts/setup-deps.sh native
	cmake -S . -B $(BUILD_SAN) -G Ninja -DKORVANEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(BUILD_SAN)
	cd $(BUILD_SAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest $(CTEST_FLAGS)

test-tsan:
	./scripts/setup-deps.sh native
	cmake -S . -B $(BUILD_TSAN) -G Ninja -DKORVANEL_TSAN=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(BUILD_TSAN)
	cd $(BUILD_TSAN) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest $(CTEST_FLAGS)

# Runs every fuzz target for FUZZ_SECONDS (longer by hand: make test-fuzz
# FUZZ_SECONDS=3600). A crash, leak or sanitizer report fails the run.
test-fuzz:
	./scripts/setup-deps.sh native fuzz
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -G Ninja -DKORVANEL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_FUZZ) --target fuzz_targets
	./scripts/run-fuzz.sh $(BUILD_FUZZ)/fuzz $(FUZZ_SECONDS)

test-arm:
	./scripts/setup-deps.sh arm
	./scripts/setup-binfmt.sh
	cmake -S . -B $(BUILD_ARM) -G Ninja \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/arm-linux-gnueabihf.cmake \
	    -DKORVANEL_ARM_SYSROOT=$(ARM_SYSROOT)
	cmake --build $(BUILD_ARM)
	cd $(BUILD_ARM) && QEMU_LD_PREFIX=$(ARM_SYSROOT) ctest $(CTEST_FLAGS)

install: all
	@if [ -z "$(PREFIX)" ]; then echo "usage: make install PREFIX=DIR"; exit 2; fi
	cmake --install $(BUILD) --prefix $(PREFIX)

# The main job on a small scale: a test ring served by vaultkeep and read
# by the ringcat client.
demo:
	./scripts/setup-deps.sh native
	cmake -S . -B $(BUILD) -G Ninja
	./scripts/demo.sh $(BUILD)

bench:
	./scripts/setup-deps.sh native bench
	cmake -S . -B $(BUILD_BENCH) -G Ninja -DKORVANEL_BENCH=ON -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_BENCH)
	@for b in $(BUILD_BENCH)/bench/*_bench; do echo "== $$b"; $$b || exit 1; done

clean:
	rm -rf $(BUILD) $(BUILD_CLANG) $(BUILD_SAN) $(BUILD_TSAN) $(BUILD_FUZZ) $(BUILD_ARM) $(BUILD_BENCH)
