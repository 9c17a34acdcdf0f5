# Front door of the project. Every target installs what it needs first.
JOBS ?= $(shell nproc)
GEN  := -G Ninja
BUILD_TYPE ?= RelWithDebInfo

.PHONY: all deps build run test test-asan test-tsan fuzz bench clean

all: build

deps:
	@scripts/install-deps

build/build.ninja: | deps
	cmake -S . -B build $(GEN) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: deps build/build.ninja
	cmake --build build -j $(JOBS)

# The engine in the foreground, with its program data (log, records, the
# port file the channel driver reads) in run/ inside the checkout. Ctrl-C stops it.
RUN_DATA := $(CURDIR)/run
run: build
	@mkdir -p $(RUN_DATA)
	@echo "Program data: $(RUN_DATA)"
	@echo "Port file:    $(RUN_DATA)/TARVENT/registry/HKEY_LOCAL_MACHINE/Software/Citrix/ICA Client/Engine/Configuration/Advanced/Modules/VDOVRA/Port"
	@echo "Log:          $(RUN_DATA)/TARVENT/OVRA/log/ovra.log"
	OVRA_PROGRAM_DATA=$(RUN_DATA) build/ovra

test: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

# AddressSanitizer + UndefinedBehaviorSanitizer build of the whole test suite.
test-asan: deps
	cmake -S . -B build-asan $(GEN) -DCMAKE_BUILD_TYPE=Debug -DOVRA_SANITIZE=address -DOVRA_BUILD_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# ThreadSanitizer build of the tests labelled "tsan" (the threaded parts).
test-tsan: deps
	cmake -S . -B build-tsan $(GEN) -DCMAKE_BUILD_TYPE=Debug -DOVRA_SANITIZE=thread -DOVRA_BUILD_BENCH=OFF
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp \
	  ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -L tsan

# libFuzzer targets built with clang; each runs for FUZZ_SECONDS over its corpus.
FUZZ_SECONDS ?= 30
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DOVRA_BUILD_FUZZ=ON -DOVRA_BUILD_TESTS=OFF -DOVRA_BUILD_BENCH=OFF
	cmake --build build-fuzz -j $(JOBS)
	scripts/run-fuzzers build-fuzz $(FUZZ_SECONDS)

bench: build
	scripts/run-benchmarks build

clean:
	rm -rf build build-asan build-tsan build-fuzz
