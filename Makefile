# Thin front over CMake.  `make demo` builds and reconstructs the demo scan;
# `make test` builds and runs the test suite; `make cluster-test` runs the
# cohort workflow through Slurm.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build demo test asan-test bench fuzz cluster-test clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	./tools/demo.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

asan-test:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCBRECON_SANITIZE=ON -DCBRECON_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	./bench/run.sh $(BUILD)

# The cohort workflow through a single-node Slurm it starts and stops (root).
cluster-test: build
	./tests/cluster/slurm.sh $(BUILD)

fuzz:
	./tests/fuzz/run.sh 30

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-fuzz
