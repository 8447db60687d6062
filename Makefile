# Front door: `make run` starts the daemon on the example configuration, `make test` builds
# from scratch and runs every test, `make test-asan` runs them again under AddressSanitizer and
# UndefinedBehaviorSanitizer, `make demo` shows log lines arriving through the viewer,
# `make install` installs into $(PREFIX).
BUILD ?= build
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
DEMO_PORT ?= 55920
ASAN_BUILD ?= build-asan
ASAN_CXX ?= clang++
# Reports go to files as well as failing the process, so one from a daemon that a test started
# and never checked still fails the run.
ASAN_REPORTS = $(abspath $(ASAN_BUILD))/sanitizer-reports
# `make fuzz` runs each libFuzzer target for FUZZ_SECONDS, starting from its seeds in
# fuzz/corpus/; what it learns stays in the build folder, and findings land there as crash-*.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = config_file command_line receive assembly
FUZZ_FLAGS_receive = -max_len=65536
# `make soak DURATION=600`: the soak run, in seconds.
DURATION ?= 60

.PHONY: all build run demo install test test-asan lint fuzz soak fanout bench clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

run: build
	cd examples && touch example.log && ../$(BUILD)/vantrel -c vantrel.cfg

demo: build
	DEMO_PORT=$(DEMO_PORT) bash scripts/demo.sh $(BUILD)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

test:
	rm -rf $(BUILD)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Static checks: the clang build (its own warnings), the format, clang-tidy and cppcheck.
lint:
	cmake -S . -B $(BUILD)-lint -DCMAKE_CXX_COMPILER=clang++ -DVANTREL_BENCH=OFF
	cmake --build $(BUILD)-lint -j $(JOBS)
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
	git ls-files 'src/*.cpp' | xargs -P $(JOBS) -n 4 clang-tidy -p $(BUILD)-lint --quiet
	cppcheck --enable=warning,style,performance,portability --std=c++20 --language=c++ \
	  --inline-suppr --error-exitcode=1 --quiet -I src $$(git ls-files 'src/*.cpp')

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

fuzz:
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVANTREL_FUZZ=ON -DVANTREL_TESTS=OFF -DVANTREL_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	$(foreach target,$(FUZZ_TARGETS),$(call run_fuzzer,$(target)))

# run_fuzzer(TARGET): libFuzzer's running commentary goes to a log; its summary, or the whole
# log when it found something, to the terminal.
define run_fuzzer
mkdir -p $(FUZZ_BUILD)/corpus/$(1)
@echo "fuzzing $(1) for $(FUZZ_SECONDS) s"
@$(FUZZ_BUILD)/fuzz/$(1)_fuzz $(FUZZ_BUILD)/corpus/$(1) fuzz/corpus/$(1) \
  -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/ \
  $(FUZZ_FLAGS_$(1)) >$(FUZZ_BUILD)/$(1).log 2>&1 || { cat $(FUZZ_BUILD)/$(1).log; exit 1; }
@grep -E '^Done|number_of_executed_units|new_units_added|peak_rss_mb' $(FUZZ_BUILD)/$(1).log

endef

soak:
	tests/soak/soak.sh $(DURATION) $(BUILD)

# The fan-out benchmark: the daemon beside socat forking tail per viewer, in one run;
# FANOUT_ARGS="--baseline OTHER_BUILD/vantrel" runs another build of the daemon beside them.
fanout: build
	python3 bench/fanout.py $(BUILD)/vantrel $(FANOUT_ARGS)

bench: build
	$(BUILD)/bench/frame_bench

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
