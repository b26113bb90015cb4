# Top-level commands: run, test, check, tsan, bench. Each first makes sure the tools are installed.
JOBS ?= $(shell nproc)
CTEST_JOBS ?= $(JOBS)

.PHONY: all run test check tsan bench deps configure build build-mxtest build-asan build-tsan clean

all: build

deps:
	@scripts/deps.sh base

build/default/build.ninja: | deps
	cmake --preset default

build/asan/build.ninja: | deps
	cmake --preset asan

build/tsan/build.ninja: | deps
	cmake --preset tsan

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

# The thread sanitizer's stage: every test program, so that a lock deleted anywhere is seen
# wherever a test runs its code beside another task. The tsan test preset leaves out the
# cases tests/CMakeLists.txt labels tsan_left_out (TQ_TSAN_LEFT_OUT there says why each).
build-tsan: deps build/tsan/build.ninja
	cmake --build --preset tsan -j $(JOBS)

tsan: build-tsan
	ctest --preset tsan -j $(CTEST_JOBS)

bench:
	@scripts/deps.sh bench
	cmake --preset default
	cmake --build --preset default -j $(JOBS)
	@for b in build/default/bin/bench_*; do echo "== $$b"; $$b || exit 1; done

clean:
	rm -rf build
