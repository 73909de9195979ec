# make run   - install what is missing, build, run examples/tour.lua
# make test  - install what is missing, build, run the whole test suite
# make asan  - the same tests on an AddressSanitizer + UndefinedBehaviorSanitizer build
# make bench - the benchmark suite in ../shared/bench against build/tarnel
# make valgrind - the script and golden tests under valgrind's memcheck

BUILD      ?= build
ASAN_BUILD ?= build-asan
MEMCHECK_BUILD ?= build-memcheck
JOBS       ?= $(shell nproc)
PACKAGES   := g++-multilib cmake ninja-build googletest
SUDO       := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
# memcheck needs the i386 C library's debug symbols to start a 32-bit program.
VALGRIND_PACKAGES := valgrind libc6-dbg:i386

.PHONY: all deps configure build run test asan bench valgrind-deps valgrind clean

all: build

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release

configure: $(BUILD)/build.ninja

build: deps configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/tarnel examples/tour.lua

test: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

$(ASAN_BUILD)/build.ninja: | deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX_SANITIZE=ON -DKX_SYSTEM_ALLOC=ON

asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) -j $(JOBS) --output-on-failure

bench: build
	../shared/bench/run

valgrind-deps:
	@missing=""; for p in $(VALGRIND_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  dpkg --print-foreign-architectures | grep -qx i386 || $(SUDO) dpkg --add-architecture i386; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

$(MEMCHECK_BUILD)/build.ninja: | deps
	cmake -S . -B $(MEMCHECK_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKX_SYSTEM_ALLOC=ON

# A release build whose instances allocate from the C library, so memcheck sees every engine object.
# Logs of failed runs are kept in $(MEMCHECK_BUILD)/memcheck.
valgrind: deps valgrind-deps $(MEMCHECK_BUILD)/build.ninja
	cmake --build $(MEMCHECK_BUILD) -j $(JOBS)
	mkdir -p $(MEMCHECK_BUILD)/memcheck
	cd $(MEMCHECK_BUILD)/memcheck && $(CURDIR)/tests/tools/memcheck.sh $(abspath $(MEMCHECK_BUILD))/tarnel

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(MEMCHECK_BUILD)
