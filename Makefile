# Thin wrapper over CMake. The README's two commands are `make demo` and
# `make test`; both install what is missing first (scripts/bootstrap).
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
# Seconds each fuzz target runs: `make fuzz`, and the short run in `make test`.
FUZZ_SECONDS ?= 60
FUZZ_TEST_SECONDS ?= 10
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
MAKEFLAGS  += --no-print-directory
CMAKE_ARGS ?=

.PHONY: all build test test-release test-asan test-fuzz fuzz fuzz-build demo bench bootstrap clean

all: build

bootstrap:
	@./scripts/bootstrap

$(BUILD)/CMakeCache.txt: | bootstrap
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: bootstrap $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

$(ASAN_BUILD)/CMakeCache.txt: | bootstrap
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DZTA_SANITIZE=ON -DZTA_BENCH=OFF $(CMAKE_ARGS)

test-release: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: bootstrap $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# The fuzz targets (fuzz/): their own build, with clang and libFuzzer; -O1
# with line tables compiles quickly and still names file and line in reports.
$(FUZZ_BUILD)/CMakeCache.txt: | bootstrap
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=Fuzz -DCMAKE_C_FLAGS="-O1 -gline-tables-only" \
	  -DCMAKE_CXX_FLAGS="-O1 -gline-tables-only" -DZTA_FUZZ=ON $(CMAKE_ARGS)

fuzz-build: bootstrap $(FUZZ_BUILD)/CMakeCache.txt
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_all

fuzz: fuzz-build
	fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS)

test-fuzz: fuzz-build
	fuzz/run $(FUZZ_BUILD) $(FUZZ_TEST_SECONDS)

# The whole suite: the normal build, then the same tests under ASan+UBSan,
# then a short run of each fuzz target.
test: test-release test-asan test-fuzz

demo: build
	@if [ -x $(BUILD)/ztaagent ]; then \
	  echo "Running build/ztaagent against the demo domain (Ctrl-C to stop)"; \
	  exec $(BUILD)/ztaagent; \
	else \
	  $(BUILD)/tmib GET T_CLIENT && $(BUILD)/tmib GET T_SERVER; \
	fi

# The benchmarks, never part of make test. bench_agent runs last: it ends
# with the table of ratios and their goals.
bench: build
	@for b in $(BUILD)/bench_*; do \
	  case "$$b" in */bench_agent) ;; *) [ -x "$$b" ] && "$$b" || true ;; esac; \
	done
	@$(BUILD)/bench_agent

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
