# Top-level commands: run, test, check, bench. Each first makes sure the tools are installed.
JOBS ?= $(shell nproc)
CTEST_JOBS ?= $(JOBS)

.PHONY: all run test check bench deps configure build build-mxtest build-asan clean

all: build

deps:
	@scripts/deps.sh base

build/default/build.ninja: | deps
	cmake --preset default

build/asan/build.ninja: | deps
	cmake --preset asan

build: deps build/default/build.ninja
	cmake --build --preset default -j $(JOBS)

# Only the library, the file helper and mxtest: what `make run` needs, no tests or benchmarks.
build-mxtest: deps build/default/build.ninja
	cmake --build --preset default -j $(JOBS) --target mxtest

build-asan: deps build/asan/build.ninja
	cmake --build --preset asan -j $(JOBS)

# Runs mxtest in a scratch folder under the build tree, where it leaves its store file.
run: build-mxtest
	@rm -rf build/default/scratch && mkdir -p build/default/scratch
	cd build/default/scratch && ../bin/mxtest

test: build
	ctest --preset default -j $(CTEST_JOBS)

check: build-asan
	ctest --preset asan -j $(CTEST_JOBS)

bench:
	@scripts/deps.sh bench
	cmake --preset default
	cmake --build --preset default -j $(JOBS)
	@for b in build/default/bin/bench_*; do echo "== $$b"; $$b || exit 1; done

clean:
	rm -rf build
