# Thin wrapper over CMake. `make test` and `make demo` set up a fresh Debian machine.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all setup build test unit demo bench fuzz install clean

all: build

setup:
	@bash scripts/setup.sh

build: setup
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DEC_WERROR=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@bash scripts/run_tests.sh

unit: build
	@cd $(BUILD) && ctest -L unit --output-on-failure

demo: build
	@bash scripts/demo.sh

bench: build
	@bash bench/run.sh

fuzz: setup
	@bash scripts/fuzz.sh long

install: build
	@cmake --install $(BUILD)

clean:
	@rm -rf $(BUILD) build-asan build-tsan build-fuzz
