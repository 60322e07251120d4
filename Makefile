# Front door of the project. The README's two commands are
#   scripts/install-deps && make demo     (the main job: a demo recording)
#   scripts/install-deps && make test     (build and pass the whole suite)

BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
BUILD_FUZZ ?= build-fuzz
JOBS       ?= $(shell nproc)
FUZZ_SECONDS ?= 60

.PHONY: all build demo test test-main test-asan test-tsan fuzz fuzz-long bench install package clean

all: build

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# Records a short two-voice conversation through a private sound server (or
# a few seconds from the real devices on a desktop) and shows what came out.
demo: build
	scripts/demo $(BUILD)/narup-capture

# The whole suite: the plain build with every unit and end-to-end test, the
# unit tests again under AddressSanitizer + UndefinedBehaviorSanitizer, the
# threaded parts under ThreadSanitizer, and each fuzz target for a bounded time.
test: test-main test-asan test-tsan fuzz

test-main: build
	cd $(BUILD) && ctest --output-on-failure -j 2

$(BUILD_ASAN)/build.ninja:
	cmake -S . -B $(BUILD_ASAN) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DNARUP_SANITIZE=address,undefined -DNARUP_BENCH=OFF

test-asan: $(BUILD_ASAN)/build.ninja
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	cd $(BUILD_ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j 2 -LE e2e

$(BUILD_TSAN)/build.ninja:
	cmake -S . -B $(BUILD_TSAN) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DNARUP_SANITIZE=thread -DNARUP_BENCH=OFF

test-tsan: $(BUILD_TSAN)/build.ninja
	cmake --build $(BUILD_TSAN) -j $(JOBS) --target narup_capture_tests narup_platform_tests
	cd $(BUILD_TSAN) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp \
	  ctest --output-on-failure -L 'capture|platform'

$(BUILD_FUZZ)/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DNARUP_FUZZ=ON -DNARUP_TESTS=OFF -DNARUP_BENCH=OFF

fuzz: $(BUILD_FUZZ)/build.ninja
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzz_wav_reader fuzz_command_line
	scripts/fuzz $(BUILD_FUZZ) $(FUZZ_SECONDS)

# The same targets, longer, for a developer's machine.
fuzz-long: $(BUILD_FUZZ)/build.ninja
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzz_wav_reader fuzz_command_line
	scripts/fuzz $(BUILD_FUZZ) 1800

bench: build
	$(BUILD)/bench/aec_bench
	$(BUILD)/bench/wav_bench
	$(BUILD)/bench/capture_bench
	$(BUILD)/bench/spool_bench
	$(BUILD)/bench/spool_bench --echo-cancel
	$(BUILD)/bench/spool_bench --echo-cancel --aec=adaptive
	$(BUILD)/bench/format_bench
	/usr/bin/python3 bench/quality/run.py --build $(BUILD)

install: build
	cmake --install $(BUILD)

# A Debian package of the binary, the man page and the bash completion:
# $(BUILD)/narup-capture_<version>_<arch>.deb, for `sudo apt install ./<it>`.
package: build
	cd $(BUILD) && cpack

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_FUZZ)
