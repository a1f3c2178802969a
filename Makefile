# Thin wrapper over CMake. The README's commands are `make demo`, `make demo-domain` and
# `make test`; each installs what is missing first (scripts/bootstrap).
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
# Seconds each fuzz target runs: `make fuzz`, and the short run in `make test`.
FUZZ_SECONDS ?= 60
FUZZ_TEST_SECONDS ?= 5
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
MAKEFLAGS  += --no-print-directory
CMAKE_ARGS ?=

.PHONY: all build test test-release test-asan test-fuzz fuzz fuzz-build demo demo-build demo-domain bench bootstrap clean

all: build

bootstrap:
	@./scripts/bootstrap

# The normal build is an optimised Release build (-O3 with -Werror), the one
# users build; the sanitizer build below is the debug one. Configuring talks
# on standard error, so that `make demo`'s standard output is the agent's own.
$(BUILD)/CMakeCache.txt: | bootstrap
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS) >&2

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

# The demos build only what they run and keep the build's output in a log,
# so that their standard output starts with what they show; then
# examples/run-demo.sh runs the agent.
DEMO_TARGETS ?= ztaagent ztaquery tmib
# Empty: 127.0.0.1:9464, or the next free port when it is taken (the demo
# says which); make demo DEMO_HTTP=host:port uses exactly that address.
DEMO_HTTP    ?=
demo-build: bootstrap $(BUILD)/CMakeCache.txt
	@echo "make: building $(DEMO_TARGETS) (log: $(BUILD)/demo-build.log)" >&2
	@cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS) >$(BUILD)/demo-build.log 2>&1 \
	  || { cat $(BUILD)/demo-build.log >&2; exit 1; }

demo: demo-build
	@exec examples/run-demo.sh $(BUILD) $(DEMO_HTTP)

# The whole demo domain: an agent for every active machine and a Prometheus
# on loopback scraping them with the shipped rules, until Ctrl-C
# (examples/run-demo-domain.py says which ports and queries).
demo-domain: demo-build
	@exec examples/run-demo-domain.py $(BUILD)

# The benchmarks, never part of make test. bench_agent runs last: it ends
# with the table of ratios and their goals.
bench: build
	@for b in $(BUILD)/bench_*; do \
	  case "$$b" in */bench_agent) ;; *) [ -x "$$b" ] && "$$b" || true ;; esac; \
	done
	@$(BUILD)/bench_agent

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
