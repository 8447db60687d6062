# Front door: `make run` starts the daemon on the example configuration, `make test` builds
# from scratch and runs every test, `make test-asan` runs them again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
BUILD ?= build
JOBS ?= $(shell nproc)
ASAN_BUILD ?= build-asan
ASAN_CXX ?= clang++
# Reports go to files as well as failing the process, so one from a daemon that a test started
# and never checked still fails the run.
ASAN_REPORTS = $(abspath $(ASAN_BUILD))/sanitizer-reports

.PHONY: all build run test test-asan bench clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

run: build
	cd examples && touch example.log && ../$(BUILD)/vantrel -c vantrel.cfg

test:
	rm -rf $(BUILD)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan:
	rm -rf $(ASAN_BUILD)
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_CXX_COMPILER=$(ASAN_CXX) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVANTREL_SANITIZE=ON -DVANTREL_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	mkdir -p $(ASAN_REPORTS)
	cd $(ASAN_BUILD) && \
	  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:log_path=$(ASAN_REPORTS)/asan \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(ASAN_REPORTS)/ubsan \
	  ctest --output-on-failure -j $(JOBS); status=$$?; \
	  if [ -n "$$(ls -A $(ASAN_REPORTS))" ]; then cat $(ASAN_REPORTS)/*; exit 1; fi; exit $$status

bench: build
	$(BUILD)/bench/frame_bench

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
