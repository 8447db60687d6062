# Front door: `make demo` shows log lines arriving through the viewer, `make test` builds from
# scratch and runs every test, `make run` starts the daemon on a copy of the example
# configuration, `make install` installs into $(PREFIX) and `make uninstall` removes it again,
# `make test-asan` runs the tests under AddressSanitizer and UndefinedBehaviorSanitizer. Each
# first installs what the machine lacks (scripts/setup.sh).
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
FUZZ_TARGETS = config_file command_line receive assembly position whole
FUZZ_FLAGS_receive = -max_len=4096
# `make soak DURATION=600`: the soak run, in seconds.
DURATION ?= 60

# make's "Entering directory" lines for every folder CMake builds tell a user nothing.
MAKEFLAGS += --no-print-directory
CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX)
# `make run` serves copies of the example configuration and log from here.
RUN_DIR = $(BUILD)/run

.PHONY: all build programs run demo install uninstall test test-asan lint fuzz soak fanout floor pace \
        deb package-test \
        viewer-scenarios web-bench page-bench sources-bench resume-bench tls-bench bench clean

all: build

# The two programs alone: no GoogleTest, no tests, no benchmarks.
programs:
	bash scripts/setup.sh build
	$(CONFIGURE) -DVANTREL_TESTS=OFF -DVANTREL_BENCH=OFF >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target vantrel vantrel-view

# Everything: the programs, the tests, the benchmarks and the soak driver.
build:
	bash scripts/setup.sh test
	$(CONFIGURE) -DVANTREL_TESTS=ON -DVANTREL_BENCH=ON >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

run: programs
	mkdir -p $(RUN_DIR)
	cp -n examples/vantrel.cfg $(RUN_DIR)/
	touch $(RUN_DIR)/example.log
	@echo "make run: serving $(RUN_DIR)/example.log; append to it from another terminal"
	cd $(RUN_DIR) && ../vantrel -c vantrel.cfg

demo: programs
	DEMO_PORT=$(DEMO_PORT) bash scripts/demo.sh $(BUILD)

install: programs
	cmake --install $(BUILD) --prefix $(PREFIX)

# Removes what the last `make install` from this build folder installed.
uninstall:
	@test -f $(BUILD)/install_manifest.txt || { echo "make uninstall: nothing installed from $(BUILD)"; exit 1; }
	xargs -d '\n' rm -f -- < $(BUILD)/install_manifest.txt
	-rmdir $(PREFIX)/share/doc/vantrel/examples $(PREFIX)/share/doc/vantrel 2>/dev/null
	rm -f $(BUILD)/install_manifest.txt

test:
	bash scripts/setup.sh test
	rm -rf $(BUILD)
	$(CONFIGURE) -DVANTREL_TESTS=ON -DVANTREL_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Static checks: includes only down the layers (docs/ARCHITECTURE.md), the clang build (its own
# warnings), the format, clang-tidy and cppcheck.
lint:
	python3 scripts/check_includes src
	cmake -S . -B $(BUILD)-lint -DCMAKE_CXX_COMPILER=clang++ -DVANTREL_BENCH=OFF
	cmake --build $(BUILD)-lint -j $(JOBS)
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
	git ls-files 'src/*.cpp' | xargs -P $(JOBS) -n 4 clang-tidy -p $(BUILD)-lint --quiet
	cppcheck --enable=warning,style,performance,portability --std=c++20 --language=c++ \
	  --inline-suppr --error-exitcode=1 --quiet -I src $$(git ls-files 'src/*.cpp')

# The Debian package, vantrel_VERSION_ARCH.deb here, from the same install rules into /usr.
deb:
	bash scripts/setup.sh deb
	rm -rf $(BUILD)-deb
	cmake -S . -B $(BUILD)-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
	  -DVANTREL_TESTS=OFF -DVANTREL_BENCH=OFF -DVANTREL_PACKAGE=ON >/dev/null
	cmake --build $(BUILD)-deb -j $(JOBS)
	cd $(BUILD)-deb && cpack -G DEB >/dev/null
	cp $(BUILD)-deb/vantrel_*.deb .
	@ls vantrel_*.deb

# Builds the package, checks it with lintian, installs it on this machine, runs it and purges it.
package-test: deb
	bash tests/package_test.sh

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

soak: build
	tests/soak/soak.sh $(DURATION) $(BUILD)

# The fan-out benchmark: the daemon beside socat forking tail per viewer, in one run;
# FANOUT_ARGS="--baseline OTHER_BUILD/vantrel" runs another build of the daemon beside them.
fanout: build
	python3 bench/fanout.py $(BUILD)/vantrel $(FANOUT_ARGS)

# The fan-out with its counters scraped once a second; FLOOR_BASELINE=OTHER_BUILD/vantrel beside.
floor: build
	bash bench/floor.sh $(BUILD) $(FLOOR_BASELINE)

# Real viewer processes on the daemon beside socat clients on socat+tail: delays, completeness,
# slow and stalled viewers, raw clients; PACE_ARGS="--baseline OTHER_BUILD" runs another build.
pace: build
	python3 bench/pace.py $(BUILD) $(PACE_ARGS)

# The viewer against the daemon paused, behind a re-cutting proxy, with a stalled output.
viewer-scenarios: programs
	python3 bench/viewer_scenarios.py $(BUILD)

# 20 event-stream clients on one vantrel-view --web while the log grows by 2 MB/s.
web-bench: build
	python3 bench/web_bench.py $(BUILD) $(WEB_BENCH_ARGS)

# Several logs in one viewer against one: 16 daemons at 500 lines/s each.
sources-bench: build
	python3 bench/sources.py $(BUILD) $(SOURCES_BENCH_ARGS)

# Breaks between the daemon and a viewer: a cut, a restart, 20 MB while away, a rotation while
# away; RESUME_BENCH_ARGS="--baseline OTHER_BUILD" runs another build beside it.
resume-bench: programs
	cd bench && python3 resume.py $(abspath $(BUILD)) $(RESUME_BENCH_ARGS)

# TLS viewers beside plain ones on one daemon: 60 at 200 lines/s, a 4 MiB burst, 1,000 bad
# handshakes during a stream.
tls-bench: programs
	cd bench && python3 tls.py $(abspath $(BUILD)) $(TLS_BENCH_ARGS)

# The page in headless Chromium: opened with a full ring, scrolled back through 1,000,000
# lines; PAGE_BENCH_ARGS="--baseline OTHER_BUILD" opens another build's page beside it.
page-bench: programs
	node bench/page.mjs $(abspath $(BUILD)) $(PAGE_BENCH_ARGS)

bench: build
	$(BUILD)/bench/frame_bench

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
