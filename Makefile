# Front door: `make run` starts the daemon on the example configuration, `make test` builds
# from scratch and runs every test, `make demo` shows log lines arriving through the viewer,
# `make install` installs into $(PREFIX).
BUILD ?= build
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
DEMO_PORT ?= 55920

.PHONY: all build run demo install test bench clean

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

bench: build
	$(BUILD)/bench/frame_bench

clean:
	rm -rf $(BUILD)
