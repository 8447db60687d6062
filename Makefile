# Front door: `make run` starts the daemon on the example configuration, `make test` builds
# from scratch and runs every test.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all build run test bench clean

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

bench: build
	$(BUILD)/bench/frame_bench

clean:
	rm -rf $(BUILD)
