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

# The thread sanitizer's stage: the concurrency tests only (the whole suite would take far
# longer under it). The interpreter runtime's and the remote sessions' suites whole (both also
# once with a collection at every primitive return), the language's eight-task stress test,
# the list words beside a task that collects again and again, its shared-table tests and the
# environment tests (relinks beside lookups, bindings and collections), the thread words
# (their script, both ways, and the in-process thread runs), the matrix access tokens, a sync
# meanwhile a script saves, the matrix closes and syncs that wait for saves, a wait for a save
# that gives its file access up while another task holds the file lock, copies beside a close
# or another copy, the code tables changed while other tasks convert through them, the store's
# locked wrappers used by several tasks at once, the start-up while another task collects all
# the time (the probe it runs fails on any report), and the streams' tests that run threads:
# pipe streams (readers and writers taking turns, closes and write aborts that end them),
# flush pipes, a blocking close, buffered streams drained by the write task, and closes that
# wait for a hung write or a reader inside.
TSAN_TARGETS := test_lang test_interp test_remote test_words test_matrix test_mxcmd test_text test_store test_program test_stream
TSAN_SUITES := ^(interp|remote)$$
TSAN_TESTS := ^(ConcurrencyStress\.|Words/BesideACollection\.|Env\.|Scripts/WordScript\.[A-Za-z]+/threads( |$$)|InProcess\.|AccessToken\.|MatrixWords\.ASyncMeanwhile|MatrixClose\.|MxFileAccess\.AWaitForASaveGivesItsAccessUpUnderTheFileLock$$|MxFileCopy\.(ACloseDuringACopyEnds|TwoCopiesIntoOneDestinationEnd)|CorrespondenceTables\.ChangedWhileOthersConvert|StoreLock\.|Startup\.WordsMadeWhileCollectionsRunStayBound$$|PipeStream\.|FlushPipe\.(Address|PeerWithoutAddress|CloseInterrupts)|FileStream\.ABlockingClose|Closing\.|CodeMethod\.CloseSkipsTheTrailerBehindAHungWrite$$|StringStream\.WaitsForAThreadInside$$)

build-tsan: deps build/tsan/build.ninja
	cmake --build --preset tsan -j $(JOBS) --target $(TSAN_TARGETS)

tsan: build-tsan
	ctest --preset tsan -j $(CTEST_JOBS) -L '$(TSAN_SUITES)'
	ctest --preset tsan -j $(CTEST_JOBS) -R '$(TSAN_TESTS)'

bench:
	@scripts/deps.sh bench
	cmake --preset default
	cmake --build --preset default -j $(JOBS)
	@for b in build/default/bin/bench_*; do echo "== $$b"; $$b || exit 1; done

clean:
	rm -rf build
