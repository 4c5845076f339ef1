# Vexlor: convenience wrapper around CMake.
#   make deps    install the missing Debian packages that building and running need (uses sudo
#                when not root); the cross build's and the tests' come with make windows and
#                make test (deps-windows, deps-test)
#   make build   configure and build (Release) into build/
#   make demo    deps + build + run the tool on the bundled sample recording
#   make test    deps + build + run every test suite with ctest: the Linux build's, then the
#                Windows build's under wine
#   make test-repeat  the Linux suites, every test repeated until it fails, at most REPEAT
#                times (20)
#   make windows deps + cross-build for 64-bit Windows (mingw-w64) into build-win/:
#                vexlor.exe, vexlor-gui.exe, dist/vexlor-VERSION-win64.zip and
#                dist/vexlor-VERSION-setup.exe; first the libraries Debian has for Linux only
#                (the time zone library, libebml, libmatroska), built from Debian's source
#                packages into build-win-deps/ (make win-deps; tools/build_win_date.sh,
#                tools/build_win_deps.sh)
#   make dist    deps + build + windows, and the Debian package dist/vexlor_VERSION_amd64.deb
#   make bench   deps + build + decoder benchmark against ffmpeg
#   make sanitize  ASan+UBSan build of all test suites, then ctest
#   make fuzz    libFuzzer smoke run of every fuzz target (clang), 45 s each
#   make fuzz-long SECONDS=N   every fuzz target for N seconds, one after another
#   make coverage  suites built with coverage instrumentation; line and branch figures per library

BUILD     ?= build
WIN_BUILD ?= build-win
WIN_DEPS  ?= build-win-deps
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)
# CI systems set CI=true: warnings are errors there.
WERROR    ?= $(if $(filter true TRUE 1 yes,$(CI)),ON,OFF)
CMAKE_ARGS ?=
REPEAT    ?= 20

# What building and running need (make build, make demo; the default build includes the test
# programs, so GoogleTest and Google Benchmark are among them).
BUILD_PACKAGES := build-essential cmake pkg-config g++ libgtest-dev libgmock-dev libbenchmark-dev \
            libcli11-dev nlohmann-json3-dev libstb-dev libssl-dev libhowardhinnant-date-dev tzdata \
            libebml-dev libmatroska-dev qt6-base-dev python3
# The cross build and the packages that are shipped (make windows, make dist).
WINDOWS_PACKAGES := $(BUILD_PACKAGES) g++-mingw-w64-x86-64-posix googletest zip unzip nsis \
            dpkg-dev desktop-file-utils
# What only the tests use: stream makers, players and checkers, wine, a display, the browser.
TEST_PACKAGES := $(WINDOWS_PACKAGES) x264 ffmpeg mkvtoolnix mediainfo clang libclang-rt-14-dev \
            xvfb xauth xdotool imagemagick gcovr wine wine64 tmux python3-xlib fonts-wine \
            gstreamer1.0-tools gstreamer1.0-plugins-base-apps gstreamer1.0-plugins-good \
            gstreamer1.0-libav chromium chromium-driver python3-selenium
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps deps-windows deps-test build win-deps windows dist demo test test-windows test-repeat bench sanitize fuzz-build \
        fuzz fuzz-long coverage format clean

all: build

# Installs the Debian packages of $(1) that are missing.
define install_missing
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call install_missing,$(BUILD_PACKAGES))

deps-windows:
	$(call install_missing,$(WINDOWS_PACKAGES))

deps-test:
	$(call install_missing,$(TEST_PACKAGES))

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DVEXLOR_WERROR=$(WERROR) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

# The libraries the cross build needs that Debian has for Linux only (the time zone library,
# libebml and libmatroska), static, from Debian's source packages; done once per version.
win-deps: deps-windows
	tools/build_win_date.sh $(WIN_DEPS) $(JOBS)
	tools/build_win_deps.sh $(WIN_DEPS) $(JOBS) $(WIN_CMAKE_ARGS)

# The cross build. VEXLOR_HOST_CLI: the Linux build, which the Windows checks compare with.
windows: deps-windows win-deps
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DVEXLOR_WERROR=$(WERROR) \
	  -DVEXLOR_HOST_CLI=$(CURDIR)/$(BUILD)/src/cli/vexlor \
	  -DVEXLOR_WIN_DATE=$(CURDIR)/$(WIN_DEPS)/date-prefix \
	  -DVEXLOR_WIN_DEPS=$(CURDIR)/$(WIN_DEPS)/prefix $(WIN_CMAKE_ARGS)
	cmake --build $(WIN_BUILD) -j $(JOBS)

# Everything that is shipped, in dist/: the Windows zip and setup program, the Debian package.
dist: deps-windows build windows
	cd $(BUILD) && cpack --config CPackConfig.cmake
	@ls -l dist

demo: deps build
	tools/demo.sh $(BUILD)

test: deps-test build
	cd $(BUILD) && ctest --output-on-failure --timeout 1800 -j $(JOBS)
	$(MAKE) test-windows

# The Windows suites run under wine (the build's private prefix, no display needed).
test-windows: windows
	cd $(WIN_BUILD) && ctest --output-on-failure --timeout 1800 -j $(JOBS)

# Flaky tests show here: each test runs REPEAT times in a row (make test-repeat REPEAT=100).
test-repeat: deps-test build
	cd $(BUILD) && ctest --output-on-failure --timeout 1800 -j $(JOBS) --repeat until-fail:$(REPEAT)

bench: deps-test build
	bench/run.sh $(BUILD)

sanitize: deps-test
	$(MAKE) build BUILD=build-asan CMAKE_ARGS="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXLOR_SANITIZE=ON -DVEXLOR_BENCH=OFF"
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tools/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

fuzz-build: deps-test
	CXX=clang++ $(MAKE) build BUILD=build-fuzz CMAKE_ARGS="-DVEXLOR_FUZZ=ON -DVEXLOR_GUI=OFF -DVEXLOR_BENCH=OFF -DVEXLOR_TESTS=OFF"

fuzz: fuzz-build
	tools/fuzz.sh build-fuzz 45

fuzz-long: fuzz-build
	tools/fuzz.sh build-fuzz $(or $(SECONDS),3600)

# Coverage: a GCC build with --coverage runs every suite (with the conformance streams when they
# are present), then gcovr reports line and branch coverage of src/ per library; the full report
# per file is left in build-coverage/coverage.txt.
coverage: deps-test
	rm -rf build-coverage/coverage.*
	$(MAKE) build BUILD=build-coverage CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Debug -DVEXLOR_COVERAGE=ON -DVEXLOR_BENCH=OFF"
	find build-coverage -name '*.gcda' -delete
	cd build-coverage && ctest --timeout 3600 -j $(JOBS) > ctest.log 2>&1 || { tail -30 ctest.log; exit 1; }
	gcovr -r . --object-directory build-coverage --filter 'src/' -j $(JOBS) \
	  --exclude-throw-branches --exclude-unreachable-branches \
	  --txt build-coverage/coverage.txt --json-summary build-coverage/coverage.json
	tools/coverage_summary.py build-coverage/coverage.json

format:
	find src tests bench tools -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf build build-asan build-fuzz build-coverage build-win build-win-deps dist
