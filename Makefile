# The two commands a newcomer needs: `make demo` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test package sanitize abuse demo demo-build demo-lookup bench fuzz format-check header-check clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAGENT_BUILD_TESTS=ON $(CMAKE_FLAGS)

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# TEST_TRIES=2 runs a failed test once more (CI does, for the real servers'
# timing on two loaded cores); the failed run's output is printed all the same.
TEST_TRIES ?= 1
test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --repeat until-pass:$(TEST_TRIES)

# The Debian package: a Release build in build-pkg for /usr with Debian's
# hardening flags (dpkg-buildflags), packed by CPack, then lintian's verdict.
PKG_BUILD ?= build-pkg
package: deps
	@export DEB_BUILD_MAINT_OPTIONS=hardening=+all; \
	cmake -S . -B $(PKG_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DAGENT_BUILD_TESTS=OFF \
	    -DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CXXFLAGS)" \
	    -DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)" $(CMAKE_FLAGS)
	@cmake --build $(PKG_BUILD) -j $(JOBS)
	@rm -f $(PKG_BUILD)/*.deb
	@cd $(PKG_BUILD) && cpack
	@lintian --fail-on error $(PKG_BUILD)/*.deb

# The whole suite again, built with AddressSanitizer (leak checks on) and UBSan.
sanitize:
	@$(MAKE) --no-print-directory test BUILD=build-asan \
	    CMAKE_FLAGS="-DAGENT_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)"

# The fault and abuse battery (loopback only); ABUSE_MODE=short is the CI form.
ABUSE_MODE ?= full
abuse: build
	@ABUSE_MODE=$(ABUSE_MODE) sh tests/run-isolated.sh $(CURDIR)/$(BUILD)/tests/abuse_battery

# The HTTP check on a demo database; demo-lookup: the parameter lookup on it.
# Only what the demo runs is installed and built: the two programs.
demo-build:
	@bash scripts/install-deps.sh demo
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAGENT_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	@cmake --build $(BUILD) -j $(JOBS) --target tovr_merk_agent tovr_merk_lookup

demo: demo-build
	@bash scripts/demo.sh $(BUILD) check

demo-lookup: demo-build
	@bash scripts/demo.sh $(BUILD) lookup

# Release build, then the HTTP check's load benchmark: the agent against a
# Python peer and a bare reference, PostgreSQL with and without the pool, memory,
# start-up, and the chart docs/bench.png.
bench: deps
	@cmake -S . -B build-rel -DCMAKE_BUILD_TYPE=Release -DAGENT_BUILD_TESTS=OFF
	@cmake --build build-rel -j $(JOBS)
	@bash scripts/bench.sh build-rel

# libFuzzer targets (clang), each run for FUZZ_SECONDS on a copy of the corpus.
FUZZ_SECONDS ?= 60
fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DAGENT_FUZZ=ON -DAGENT_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	@cmake --build build-fuzz -j $(JOBS) --target fuzz_all
	@bash scripts/fuzz.sh build-fuzz $(FUZZ_SECONDS)

# The program's C++ as .clang-format lays it out, for the files the commits
# since FORMAT_BASE touch (the last commit by default). Tests keep their data
# rows aligned by hand, so they are not checked.
FORMAT_BASE ?= HEAD~1
format-check: deps
	@base=$$(git rev-parse -q --verify $(FORMAT_BASE) || git hash-object -t tree /dev/null); \
	files=$$(git diff --name-only --diff-filter=d $$base -- 'app/*.cpp' 'app/*.h' 'db/*.cpp' 'db/*.h' \
	    'net/*.cpp' 'net/*.h' 'crypto/*.cpp' 'crypto/*.h' 'passwords/*.cpp' 'passwords/*.h' 'client/*.cpp' 'client/*.h' 'bench/*.cpp' 'bench/*.h' \
	    'cache/*.cpp' 'cache/*.h' 'service/*.cpp' 'service/*.h' 'audit/*.cpp' 'audit/*.h'); \
	if [ -n "$$files" ]; then clang-format --dry-run --Werror $$files && echo "format: $$(echo $$files | wc -w) files as .clang-format lays them out"; \
	else echo "format: no C++ of the program changed"; fi

# Every header the demo, the test build and the fuzz build read comes from a
# package that their list in scripts/install-deps.sh brings, so each builds on a
# fresh machine: a configure and the preprocessor only, nothing is built.
header-check: deps
	@JOBS=$(JOBS) bash scripts/check-headers.sh demo full fuzz

clean:
	rm -rf $(BUILD) build-asan build-rel build-fuzz $(PKG_BUILD)
