# The two commands a new user runs: `make demo` and `make test`.
# `make` and `make demo` build the program alone and need only a C++20
# compiler, CMake and make; `make test` needs GoogleTest and python3 too.
# tools/install-build-deps installs what the targets here use (with the
# arguments windows and web, what those targets use too).
#
# The tree may sit in a folder whose name holds blanks, so paths are quoted
# in the recipes and never go through make's own word lists; that is also
# why the targets are phony and the build is left to CMake.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# Options for the first configuring of $(BUILD), e.g.
# CMAKE_ARGS=-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON to build as if without it.
CMAKE_ARGS ?=

.PHONY: all demo test clean

# Configuring and building say nothing unless they fail; V=1 shows it all.
ifdef V
quietly = $(1)
else
quietly = out=$$( { $(1); } 2>&1 ) || { printf '%s\n' "$$out"; exit 1; }
endif

# $(1): a build folder, configured with the options $(2) unless it is
# already; later, cmake --build configures again when a CMakeLists.txt
# has changed.
configure = [ -f "$(1)/CMakeCache.txt" ] || { $(call quietly,cmake -S . -B "$(1)" $(2)); }

# What the tests lack, as the last configuring found it; a folder
# configured before GoogleTest was installed is configured again to see
# whether it still lacks it.
tests_missing = sed -n 's/^QUORNAX_TESTS_MISSING:INTERNAL=//p' "$(1)/CMakeCache.txt"
check_tests = \
  if [ -n "$$($(call tests_missing,$(1)))" ]; then \
    $(call quietly,cmake -S . -B "$(1)"); \
  fi; \
  missing="$$($(call tests_missing,$(1)))"; \
  if [ -n "$$missing" ]; then \
    echo "make $@: install $$missing first; tools/install-build-deps does it, as root" >&2; \
    exit 1; \
  fi

all:
	@$(call configure,$(BUILD),$(CMAKE_ARGS))
	@$(call quietly,cmake --build "$(BUILD)" --target quornax quornax-cat -j $(JOBS))

# The tests say one line when all pass (ctest's own summary, which
# .ci/run looks for), and everything when one fails; V=1 lists them all.
# On a terminal a line every five seconds counts the tests done so far.
ifdef V
run_tests = ctest --test-dir "$(1)" --output-on-failure -j2
else
run_tests = log=$$(mktemp) && trap 'rm -f "$$log"' EXIT && \
  { ctest --test-dir "$(1)" --output-on-failure -j2 >"$$log" 2>&1 & } && \
  ctest_pid=$$! && \
  if [ -t 1 ]; then \
    total=$$(ctest --test-dir "$(1)" -N | sed -n 's/^Total Tests: //p'); \
    seconds=0; \
    while kill -0 $$ctest_pid 2>/dev/null; do \
      sleep 1; seconds=$$((seconds + 1)); \
      if [ $$((seconds % 5)) -eq 0 ] && kill -0 $$ctest_pid 2>/dev/null; then \
        echo "make $@: $$(grep -c '^ *[0-9]*/[0-9]* Test' "$$log") of $$total tests done"; \
      fi; \
    done; \
  fi; \
  wait $$ctest_pid && grep -E '^[0-9]+% tests passed' "$$log" \
  || { cat "$$log"; exit 1; }
endif

test:
	@$(call configure,$(BUILD),$(CMAKE_ARGS))
	@$(call check_tests,$(BUILD))
	@$(call quietly,cmake --build "$(BUILD)" -j $(JOBS))
	@$(call run_tests,$(BUILD))

# The sample tape is converted in a fresh folder, so that everything left
# there afterwards is the program's doing; then quornax-cat shows what is
# on the disk. $(BUILD) may be relative or not.
demo: all
	@rm -rf demo-out && mkdir demo-out && cp examples/demo.tap demo-out/
	@echo "demo-out\$$ quornax demo.tap"
	@programs="$$(cd "$(BUILD)" && pwd)" && cd demo-out && "$$programs/quornax" demo.tap
	@echo
	@echo "demo-out now holds: $$(cd demo-out && echo *)"
	@echo
	@echo "demo-out\$$ quornax-cat demo.trd"
	@programs="$$(cd "$(BUILD)" && pwd)" && cd demo-out && "$$programs/quornax-cat" demo.trd

# Hardening: the fuzzer, every test under the sanitizers, and memcheck.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_CXX ?= clang++
SANITIZE_BUILD ?= build-sanitize
SANITIZE = -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
VALGRIND = valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=all

.PHONY: fuzz test-sanitize memcheck

# The fuzzer is built by CMake from the library's own sources, in a folder
# of its own, as the option QUORNAX_FUZZ has it; -O1 as below. What a run
# finds goes to a scratch copy of the seed corpus, kept from run to run,
# so the committed corpus stays small.
fuzz:
	@command -v "$(FUZZ_CXX)" >/dev/null || { \
	  echo "make fuzz: install clang and libclang-rt-14-dev first; tools/install-build-deps does it, as root" >&2; \
	  exit 1; }
	@$(call configure,$(FUZZ_BUILD),-DCMAKE_CXX_COMPILER="$(FUZZ_CXX)" \
	  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 \
	  -DQUORNAX_FUZZ=ON -DQUORNAX_TESTS=OFF)
	@$(call quietly,cmake --build "$(FUZZ_BUILD)" --target quornax_fuzz -j $(JOBS))
	@mkdir -p "$(FUZZ_BUILD)/corpus" "$(FUZZ_BUILD)/artifacts"
	@cp fuzz/corpus/* "$(FUZZ_BUILD)/corpus/"
	@folder="$$(cd "$(FUZZ_BUILD)" && pwd)" && \
	"$$folder/quornax_fuzz" -max_total_time=$(FUZZ_SECONDS) -max_len=8192 \
	  -print_final_stats=1 -close_fd_mask=3 \
	  "-artifact_prefix=$$folder/artifacts/" "$$folder/corpus"

# -O1: much quicker to build than the optimised default, and the reports
# still point at the right lines.
test-sanitize:
	@$(call configure,$(SANITIZE_BUILD),-DCMAKE_BUILD_TYPE=Debug \
	  "-DCMAKE_CXX_FLAGS=$(SANITIZE) -O1" "-DCMAKE_EXE_LINKER_FLAGS=$(SANITIZE)")
	@$(call check_tests,$(SANITIZE_BUILD))
	@$(call quietly,cmake --build "$(SANITIZE_BUILD)" -j $(JOBS))
	@$(call run_tests,$(SANITIZE_BUILD))

memcheck: all
	@command -v valgrind >/dev/null && command -v python3 >/dev/null || { \
	  echo "make memcheck: install valgrind and python3 first; tools/install-build-deps does it, as root" >&2; \
	  exit 1; }
	@program="$$(cd "$(BUILD)" && pwd)/quornax" && \
	scratch="$$(mktemp -d)" && trap 'rm -rf "$$scratch"' EXIT && \
	cp examples/demo.tap "$$scratch"/ && \
	python3 fuzz/make_tapes.py pairs 130 "$$scratch"/pairs130.tap && \
	cd "$$scratch" && \
	$(VALGRIND) "$$program" demo.tap >/dev/null && \
	$(VALGRIND) "$$program" pairs130.tap >/dev/null && \
	echo "memcheck: demo.tap and pairs130.tap without errors or leaks"

# Times one run over 300 synthetic tapes against split writing as many
# bytes into as many files; BENCH_ARGS passes options on (--dir, --tapes).
.PHONY: bench package
bench:
	@$(call configure,$(BUILD),$(CMAKE_ARGS))
	@$(call quietly,cmake --build "$(BUILD)" --target quornax quornax_measure quornax_floor -j $(JOBS))
	python3 bench/bench.py "$(BUILD)/quornax" \
	  --measure "$(BUILD)/bench/quornax_measure" \
	  --floor "$(BUILD)/bench/quornax_floor" $(BENCH_ARGS)

# A Debian package from a release build of its own, without the tests.
PACKAGE_BUILD ?= build-pkg
package:
	@command -v dpkg-shlibdeps >/dev/null || { \
	  echo "make package: install dpkg-dev first; tools/install-build-deps does it, as root" >&2; \
	  exit 1; }
	@$(call configure,$(PACKAGE_BUILD),-DCMAKE_BUILD_TYPE=Release \
	  -DQUORNAX_TESTS=OFF -DQUORNAX_GZIP_MAN=ON)
	@$(call quietly,cmake --build "$(PACKAGE_BUILD)" -j $(JOBS))
	cd "$(PACKAGE_BUILD)" && cpack

# The web page: `make web` builds $(WEB_BUILD)/index.html, quornax.js and
# quornax-cat.js, the programs built to WebAssembly by emscripten (emcc's own tools need
# Debian's node modules, even when node comes from elsewhere); `make
# test-web` converts tapes in it, in headless Chromium, and compares every
# result with the Linux build in $(BUILD).
WEB_BUILD ?= build-web
WEB_NODE_PATH = /usr/share/nodejs$${NODE_PATH:+:$$NODE_PATH}
.PHONY: web test-web
web:
	@command -v emcmake >/dev/null || { \
	  echo "make web: install emscripten first; tools/install-build-deps web does it, as root" >&2; \
	  exit 1; }
	@export NODE_PATH=$(WEB_NODE_PATH) && \
	{ [ -f "$(WEB_BUILD)/CMakeCache.txt" ] || { $(call quietly,emcmake cmake -S . -B "$(WEB_BUILD)" \
	  -DCMAKE_BUILD_TYPE=Release -DQUORNAX_TESTS=OFF); }; } && \
	$(call quietly,cmake --build "$(WEB_BUILD)" --target quornax quornax-cat -j $(JOBS))
	@echo "make web: open $(WEB_BUILD)/index.html"

test-web: all web
	@python3 web/test_web.py "$(WEB_BUILD)" "$(BUILD)/quornax"

# Windows: quornax.exe cross-built with MinGW-w64 (the toolchain file
# cmake/mingw-w64-x86_64.cmake), tested under wine against the Linux
# build in $(BUILD), and packed as a zip with a README.txt for Windows and the licence.
WINDOWS_BUILD ?= build-windows
.PHONY: windows test-windows package-windows

configure_windows = \
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || { \
    echo "make $@: install g++-mingw-w64-x86-64-posix first; tools/install-build-deps windows does it, as root" >&2; \
    exit 1; }; \
  $(call configure,$(WINDOWS_BUILD),-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)

windows:
	@$(configure_windows)
	@$(call quietly,cmake --build "$(WINDOWS_BUILD)" --target quornax quornax-cat -j $(JOBS))

# The unit tests, and GoogleTest from its sources, are built for Windows.
test-windows: all
	@command -v wine >/dev/null || { \
	  echo "make $@: install wine first; tools/install-build-deps windows does it, as root" >&2; \
	  exit 1; }
	@$(configure_windows)
	@$(call check_tests,$(WINDOWS_BUILD))
	@$(call quietly,cmake --build "$(WINDOWS_BUILD)" -j $(JOBS))
	@cd "$(WINDOWS_BUILD)" && $(call quietly,cpack -G ZIP)
	@tools/test-windows "$(WINDOWS_BUILD)" "$(BUILD)/quornax"

package-windows: windows
	cd "$(WINDOWS_BUILD)" && cpack -G ZIP

# Every folder the targets here make. BUILD and the like may come from the
# environment (BUILD=$$HOME), so a folder is removed only when CMake built
# it: it holds a CMakeCache.txt and no CMakeLists.txt (not a source tree).
# demo-out is the demo's own, in the top folder.
clean:
	@for folder in "$(BUILD)" "$(SANITIZE_BUILD)" "$(FUZZ_BUILD)" "$(PACKAGE_BUILD)" \
	    "$(WINDOWS_BUILD)" "$(WEB_BUILD)" build-mutate; do \
	  [ -e "$$folder" ] || continue; \
	  if [ -f "$$folder/CMakeCache.txt" ] && [ ! -e "$$folder/CMakeLists.txt" ]; then \
	    echo "rm -rf $$folder"; rm -rf "$$folder"; \
	  else \
	    echo "make clean: $$folder is not a build folder (no CMakeCache.txt); left alone" >&2; \
	  fi; \
	done
	@if [ -d demo-out ]; then echo "rm -rf demo-out"; rm -rf demo-out; fi
