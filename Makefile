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
# wherever a test runs its code beside another task. Left out (the other two stages run
# them), the cases slow under it that run one task only, and one it cannot run:
#  - the nesting limit's deep recursion (ScriptDepth) and the hundred-thousand-key workload
#    of the store's trees (TreeWorkload): minutes each under the sanitizer's shadow of every
#    access;
#  - a failed close at every write over many seeds (StoreClose.AFailedClose...), the damaged
#    trees fuzz (TreeFuzz.DamagedTrees...) and the marking of million-cell lists (GcCollect);
#  - the calls script with a collection at every step, which nears its program run's bound;
#  - the saves ended by a signal: now and then a signal sent to a run under the sanitizer is
#    never handled (no handler runs, nothing is left pending, every thread idles), so the
#    run never ends.
# The runs with a collection at every primitive return (gc_stress.) look for values kept
# without a root, which the other two stages find: here only those of the interpreter runtime
# and the remote sessions, whose threads keep values for later; the language's and the
# words' take several times as long under the sanitizer, the eight-task stress test past
# its bound.
TSAN_LEFT_OUT := ^(ScriptDepth\.DeepForms|TreeWorkload\.HundredThousandKeys|StoreClose\.AFailedCloseLeaves|TreeFuzz\.DamagedTreesAndTriesEndEvery|GcCollect\.MillionDeep|Scripts/Script\.CollectionsChangeNothing/calls( |$$)|WordsIIIProcess\.ASignalledSave)
TSAN_GC_SUITES := ^(interp|remote)$$

build-tsan: deps build/tsan/build.ninja
	cmake --build --preset tsan -j $(JOBS)

tsan: build-tsan
	ctest --preset tsan -j $(CTEST_JOBS) -E '^gc_stress\.|$(TSAN_LEFT_OUT)'
	ctest --preset tsan -j $(CTEST_JOBS) -L '$(TSAN_GC_SUITES)' -R '^gc_stress\.'

bench:
	@scripts/deps.sh bench
	cmake --preset default
	cmake --build --preset default -j $(JOBS)
	@for b in build/default/bin/bench_*; do echo "== $$b"; $$b || exit 1; done

clean:
	rm -rf build
