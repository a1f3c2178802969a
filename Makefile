# Thin wrapper over CMake. The README's two commands are `make demo` and
# `make test`; both install what is missing first (scripts/bootstrap).
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
MAKEFLAGS  += --no-print-directory
CMAKE_ARGS ?=

.PHONY: all build test test-release test-asan demo bench bootstrap clean

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

# The whole suite: the normal build, then the same tests under ASan+UBSan.
test: test-release test-asan

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
	rm -rf $(BUILD) $(ASAN_BUILD)
