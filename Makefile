# Two entry points do all the set-up: `make run` and `make test`.
JOBS ?= $(shell nproc)
BUILD ?= build
TEST_BUILD ?= build-test
CMAKE_GEN := -G Ninja
# ccache, where installed, makes rebuilds of an unchanged tree quick.
LAUNCHER := $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

.PHONY: run build test test-build bench fuzz package format clean

build:
	tools/install-deps.sh run
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUAYLINE_BUILD_TESTS=OFF
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/quayline

# The test build carries AddressSanitizer and UndefinedBehaviorSanitizer.
test-build:
	tools/install-deps.sh test
	cmake -S . -B $(TEST_BUILD) $(CMAKE_GEN) $(LAUNCHER) -DCMAKE_BUILD_TYPE=Debug -DQUAYLINE_SANITIZE=ON
	cmake --build $(TEST_BUILD) -j $(JOBS)

test: test-build
	cd $(TEST_BUILD) && QT_QPA_PLATFORM=offscreen \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

bench:
	tools/install-deps.sh bench
	cmake -S . -B build-bench $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DQUAYLINE_BUILD_TESTS=OFF \
	  -DQUAYLINE_BUILD_GUI=OFF -DQUAYLINE_BUILD_BENCH=ON
	cmake --build build-bench -j $(JOBS) --target bench bench_endless
	build-bench/bench/bench
	build-bench/bench/bench_endless

# The Debian package, built in a copy of the tree under build-deb/.
package:
	tools/build-deb.sh build-deb

FUZZ_SECONDS ?= 180
fuzz:
	tools/install-deps.sh fuzz
	CXX=clang++ cmake -S . -B build-fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQUAYLINE_BUILD_TESTS=OFF -DQUAYLINE_BUILD_GUI=OFF -DQUAYLINE_BUILD_FUZZ=ON
	cmake --build build-fuzz -j $(JOBS) --target fuzz_parser
	mkdir -p fuzz/corpus
	build-fuzz/fuzz/fuzz_parser -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 fuzz/corpus fuzz/seeds

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(TEST_BUILD) build-bench build-fuzz build-deb
