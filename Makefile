# Front door: `make run` starts the daemon on the example configuration, `make test` builds
# from scratch and runs every test, `make demo` shows log lines arriving through the viewer,
# `make install` installs into $(PREFIX).
BUILD ?= build
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
DEMO_PORT ?= 55920

.PHONY: all build run demo install test lint bench clean

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

bench: build
	$(BUILD)/bench/frame_bench

clean:
	rm -rf $(BUILD)
