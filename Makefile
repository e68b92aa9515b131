# Quillaran: the two commands a newcomer needs are `make run` and `make test`.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
CTEST_FLAGS ?=
FUZZ_SECONDS ?= 60

# What `make run` builds: the application and what it finds beside its executable (the stand-in driver
# tools and the driver archive). The tests and the tools built on their support (test-receiver,
# fuzz-seeds) come with `make test`.
APP_TARGETS = quillaran kextstat kextutil soundflower_resource

# Where `make install` puts the application: the user's own ~/.local (no root needed), or with
# PREFIX=/usr/local, run as root, for everyone. DESTDIR stages the install under another folder.
PREFIX ?= $(HOME)/.local

.PHONY: all deps deps-test build run install uninstall test sanitize tsan bench fuzz format clean

all: build

# What building and running the application need, and nothing only the tests use (their private sound
# server could not stand beside a desktop's own).
deps:
	@bash scripts/install-deps.sh run

# What building and running every test, sanitizer build and fuzz target need.
deps-test:
	@bash scripts/install-deps.sh test

build/CMakeCache.txt: | deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILL_TESTS=OFF $(CMAKE_FLAGS)

build: deps build/CMakeCache.txt
	cmake --build build -j $(JOBS) --target $(APP_TARGETS)

run: build
	./build/quillaran

install: build
	DESTDIR="$(DESTDIR)" cmake --install build --prefix "$(PREFIX)"

# Removes what the install into PREFIX wrote, as it recorded there.
uninstall:
	DESTDIR="$(DESTDIR)" cmake -DQUILL_RECORD="$(PREFIX)/share/quillaran/install-record.txt" -P cmake/QuillUninstall.cmake

# Warnings are errors here; every test runs, with output on failure.
test: deps-test
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILL_WERROR=ON -DQUILL_TESTS=ON $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)
	cd build && ctest --output-on-failure -j $(JOBS) $(CTEST_FLAGS)

sanitize: deps-test
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUILL_WERROR=ON -DQUILL_SANITIZE=address,undefined $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS) -LE gui $(CTEST_FLAGS)

# ThreadSanitizer over the threaded libraries' tests.
TSAN_SUITES ?= ^(platform|net|media|link|session|logging|audio|app)[.]
tsan: deps-test
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DQUILL_WERROR=ON -DQUILL_SANITIZE=thread $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/.ci/tsan.supp" \
		ctest --output-on-failure -j $(JOBS) -R '$(TSAN_SUITES)' -LE gui $(CTEST_FLAGS)

# The benchmarks also need what only they use (the GStreamer pipeline they compare against).
bench:
	@bash scripts/install-deps.sh bench
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUILL_TESTS=ON $(CMAKE_FLAGS)
	cmake --build build-bench -j $(JOBS) --target benchmarks
	@for b in build-bench/*_bench; do echo "== $$b"; $$b || exit 1; done

# Every fuzz target for FUZZ_SECONDS each, from its seeds in tests/fuzz/corpus and its working corpus in
# build-fuzz/corpus. The seeds are made by build/fuzz-seeds.
fuzz: deps-test
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
		-DCMAKE_CXX_COMPILER=clang++ -DQUILL_FUZZ=ON -DQUILL_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS) --target fuzzers
	bash scripts/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

format:
	@git ls-files '*.cpp' '*.h' '*.hpp' | xargs -r clang-format -i

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
