# make run       - install what is missing, build, run examples/tour.lua
# make test      - install what is missing, build, run the whole test suite (x86-64)
# make test-i386 - the same suite on the i386 build (under qemu where the kernel cannot run it)
# make asan      - the same tests on an AddressSanitizer + UndefinedBehaviorSanitizer build
# make valgrind  - the script and golden tests, and the checker test, under valgrind's memcheck
# make bench     - the benchmark suite in bench/ against build/tarnel (and lua5.4 when installed)
# make bench-check - speed guard: instruction counts of some benchmarks against bench/ir_figures.txt
# make install   - installs bin/tarnel, lib/libkestrix.a, include/kestrix/ and lib/pkgconfig/kestrix.pc
#                  under PREFIX (default /usr/local), staged below DESTDIR when that is set
# make fuzz-smoke - every fuzz target for 30 seconds from its seed corpus (clang, libFuzzer)
# make fuzz T=<target> S=<seconds> - one fuzz target for a long run
# make oom-full  - every script test and golden script with each allocation failing in turn
# make gc-stress - the script suite on the checking build with a full collection at every allocating
#                  operation (GC_STRESS=STEP: an incremental step)

BUILD          ?= build
I386_BUILD     ?= build-i386
ASAN_BUILD     ?= build-asan
MEMCHECK_BUILD ?= build-memcheck
JOBS           ?= $(shell nproc)
PACKAGES       := g++ cmake ninja-build googletest libffi-dev
I386_PACKAGES  := g++-multilib qemu-user-static libffi-dev:i386
VALGRIND_PACKAGES := valgrind
FUZZ_BUILD     ?= build-fuzz
FUZZ_PACKAGES  := clang libclang-rt-14-dev
FUZZ_TARGETS   := load_source load_binary pattern format buffer_decode ffi_cdef run_chunk
# Findings go to $(FUZZ_BUILD)/artifacts, inputs that reach new code to $(FUZZ_BUILD)/corpus.
FUZZ_FLAGS     ?= -timeout=10 -rss_limit_mb=4096 -print_final_stats=1
S              ?= 600
# The ecosystem tests run programs from Debian's Lua 5.1 packages; lua5.4 (which also satisfies
# lua-busted's dependency on an interpreter) is only ever run as a stopwatch by bench/cjson.
ECOSYSTEM_PACKAGES := pkg-config lua5.4 lua-lpeg lua-cjson lua-filesystem lua-socket lua-penlight \
                      lua-inspect lua-dkjson lua-busted
PREFIX         ?= /usr/local
DESTDIR        ?=
SUDO           := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
# KX_I386_EMULATE=ON runs the i386 programs under qemu even where the kernel could start them.
KX_I386_EMULATE ?= OFF

# install <packages>: installs those that are missing.
define install
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'ok installed' || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  { $(SUDO) apt-get update -qq || echo "apt-get update failed for some lists; installing from the rest"; } && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi
endef

.PHONY: all deps i386-deps valgrind-deps ecosystem-deps fuzz-deps configure build run test test-i386 asan \
        valgrind bench bench-check bench-cjson install fuzz-build fuzz fuzz-smoke oom-full gc-stress clean

all: build

deps:
	$(call install,$(PACKAGES))

# libffi for i386 comes from the i386 architecture of the package archive.
i386-deps:
	@dpkg --print-foreign-architectures | grep -qx i386 || \
	  { $(SUDO) dpkg --add-architecture i386 && $(SUDO) apt-get update -qq; }
	$(call install,$(I386_PACKAGES))

valgrind-deps:
	$(call install,$(VALGRIND_PACKAGES))

ecosystem-deps:
	$(call install,$(ECOSYSTEM_PACKAGES))

fuzz-deps:
	$(call install,$(FUZZ_PACKAGES))

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release

configure: $(BUILD)/build.ninja

build: deps configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/tarnel examples/tour.lua

test: build ecosystem-deps
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

test-i386: deps i386-deps
	cmake -S . -B $(I386_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKX_I386=ON \
	  -DKX_I386_EMULATE=$(KX_I386_EMULATE)
	cmake --build $(I386_BUILD) -j $(JOBS)
	ctest --test-dir $(I386_BUILD) -j $(JOBS) --output-on-failure

$(ASAN_BUILD)/build.ninja: | deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_SANITIZE=ON

asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) -j $(JOBS) --output-on-failure

$(MEMCHECK_BUILD)/build.ninja: | deps
	cmake -S . -B $(MEMCHECK_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKX_MEMCHECK=ON

# A release build whose arena tells memcheck about every block. Logs of failed runs are kept in
# $(MEMCHECK_BUILD)/memcheck.
valgrind: deps valgrind-deps $(MEMCHECK_BUILD)/build.ninja
	cmake --build $(MEMCHECK_BUILD) -j $(JOBS)
	valgrind -q $(MEMCHECK_BUILD)/tests/checker_test  # counts its own deliberate errors
	mkdir -p $(MEMCHECK_BUILD)/memcheck
	cd $(MEMCHECK_BUILD)/memcheck && KX_TEST_FFILIB=$(abspath $(MEMCHECK_BUILD))/tests/kx_test_ffilib.so \
	  $(CURDIR)/tests/tools/memcheck.sh $(abspath $(MEMCHECK_BUILD))/tarnel

$(FUZZ_BUILD)/build.ninja: | deps fuzz-deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKX_SANITIZE=ON -DKX_FUZZ=ON

fuzz-build: deps fuzz-deps $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

# fuzz-run <target> <seconds>: libFuzzer's log in $(FUZZ_BUILD)/logs/<target>.log; its end is shown,
# and on a finding the report.
define fuzz-run
	@mkdir -p $(FUZZ_BUILD)/corpus/$(1) $(FUZZ_BUILD)/artifacts $(FUZZ_BUILD)/logs
	@echo "fuzz $(1): $(2) s"
	@UBSAN_OPTIONS=print_stacktrace=1 $(FUZZ_BUILD)/tests/fuzz/fuzz_$(1) $(FUZZ_FLAGS) -max_total_time=$(2) \
	  -artifact_prefix=$(FUZZ_BUILD)/artifacts/$(1)- $(FUZZ_BUILD)/corpus/$(1) tests/fuzz/corpus/$(1) \
	  >$(FUZZ_BUILD)/logs/$(1).log 2>&1 || { tail -n 60 $(FUZZ_BUILD)/logs/$(1).log; exit 1; }
	@grep -E '^(#[0-9]+ +DONE|Done|stat::)' $(FUZZ_BUILD)/logs/$(1).log
endef

fuzz: fuzz-build
	@test -n "$(T)" || { echo "usage: make fuzz T=<target> S=<seconds>; targets: $(FUZZ_TARGETS)"; exit 2; }
	$(call fuzz-run,$(T),$(S))

fuzz-smoke: fuzz-build
	@for t in $(FUZZ_TARGETS); do $(MAKE) --no-print-directory fuzz T=$$t S=30 || exit 1; done

# Every allocation point of every script test and golden script (see tests/unit/oom_scripts_test.cpp);
# OOM_FILTER selects scripts by test name, for example OOM_FILTER='*string*'.
OOM_FILTER ?= *
oom-full: build
	KX_OOM_FULL=1 $(BUILD)/tests/oom_scripts_test --gtest_filter='$(OOM_FILTER)'

# The script and golden tests on the checking build with collector work at every allocating
# operation: GC_STRESS=FULL (a full cycle) or GC_STRESS=STEP (one incremental step).
GC_STRESS ?= FULL
GC_STRESS_BUILD = build-gcstress-$(GC_STRESS)
gc-stress: deps
	cmake -S . -B $(GC_STRESS_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_SANITIZE=ON \
	  -DKX_GC_STRESS=$(GC_STRESS)
	cmake --build $(GC_STRESS_BUILD) -j $(JOBS) --target kx_script_deps
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(GC_STRESS_BUILD) -j $(JOBS) -R '^(script|golden)/' --timeout 3000 --output-on-failure

# BENCH_ARGS passes options to bench/run, for example BENCH_ARGS="--callgrind" or "--only fib".
bench: build
	bench/run $$(command -v lua5.4 >/dev/null && echo --vs lua5.4) $(BENCH_ARGS)

# Fails when a benchmark needs more than 3% more instructions than its stored figure.
bench-check: build valgrind-deps
	bench/check --interp $(BUILD)/tarnel

# Encoding and decoding a 20 MB JSON document with Debian's cjson, under tarnel and under lua5.4.
bench-cjson: build ecosystem-deps
	bench/cjson/run $(BUILD)/tarnel

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

clean:
	rm -rf $(BUILD) $(I386_BUILD) $(ASAN_BUILD) $(MEMCHECK_BUILD) $(FUZZ_BUILD) build-gcstress-FULL build-gcstress-STEP
