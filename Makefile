# Pelorix: the two commands a new machine needs are `make run` and `make test`.
# SANITIZE=1 builds into build-sanitize/ with AddressSanitizer and UndefinedBehaviorSanitizer;
# SANITIZE=thread builds into build-tsan/ with ThreadSanitizer.
# `make fuzz` converts seeded mutations of the test clips on the sanitizer build for FUZZ_MINUTES
# (default 10), keeping what crashes, hangs or draws a report in build-sanitize/fuzz-findings/.

SANITIZE ?= 0
JOBS ?= $(shell nproc)
FUZZ_MINUTES ?= 10
FUZZ_SEED ?= $(shell date +%s)

ifeq ($(SANITIZE),1)
BUILD_DIR ?= build-sanitize
CMAKE_FLAGS += -DPELORIX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
else ifeq ($(SANITIZE),thread)
BUILD_DIR ?= build-tsan
CMAKE_FLAGS += -DPELORIX_SANITIZE_THREAD=ON -DCMAKE_BUILD_TYPE=Debug
# The media libraries and the toolkit are not instrumented: races inside them are not ours.
# Tests that start programs fork from a process with threads; the child only execs.
TEST_ENV = TSAN_OPTIONS=suppressions=$(CURDIR)/tests/tsan-uninstrumented-libraries.supp:die_after_fork=0
else
BUILD_DIR ?= build
endif

.PHONY: all deps configure build run test format format-check bench fuzz clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# Without a display the program says so in one line (status 3) and make leaves it at that.
run: build
	@$(BUILD_DIR)/bin/pelorix || [ $$? -eq 3 ]

test: build format-check
	cd $(BUILD_DIR) && $(TEST_ENV) ctest --output-on-failure -j $(JOBS) $(CTEST_FLAGS)

# Every C++ source and header follows .clang-format; `make format` applies it.
FORMAT_FILES = $(shell git ls-files '*.cpp' '*.h' 2>/dev/null || find src tests tools bench -name '*.cpp' -o -name '*.h')

format-check: deps
	@clang-format --dry-run -Werror $(FORMAT_FILES)

format: deps
	@clang-format -i $(FORMAT_FILES)

bench: build
	@bench/run-all $(BUILD_DIR)

fuzz:
	@$(MAKE) --no-print-directory build SANITIZE=1
	@build-sanitize/bin/make-test-media build-sanitize/media >/dev/null
	build-sanitize/bin/pelorix-fuzz run build-sanitize/media build-sanitize/fuzz-findings \
	  --minutes $(FUZZ_MINUTES) --seed $(FUZZ_SEED) --jobs $(JOBS)

clean:
	rm -rf build build-sanitize build-tsan
