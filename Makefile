# The two commands a new user runs: `make demo` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all configure test demo clean web test-web

all: $(BUILD)/quornax

configure: $(BUILD)/CMakeCache.txt

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD)

$(BUILD)/quornax: configure FORCE
	cmake --build $(BUILD) -j $(JOBS)

test: $(BUILD)/quornax
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The sample tape is converted in a fresh folder, so that everything left
# there afterwards is the program's doing. $(BUILD) may be relative or not.
demo: $(BUILD)/quornax
	@rm -rf demo-out && mkdir demo-out && cp examples/demo.tap demo-out/
	@echo "demo-out\$$ quornax demo.tap"
	@cd demo-out && $(abspath $(BUILD))/quornax demo.tap
	@echo
	@echo "demo-out now holds: $$(cd demo-out && echo *)"
	@echo "demo.trd is $$(wc -c < demo-out/demo.trd) bytes. Its catalogue, one 16-byte entry per file:"
	@od -A d -t x1z -N 2048 demo-out/demo.trd
	@echo "Its disk info sector (first free sector and track at 2273, file count at 2276, free sectors at 2277, label at 2293):"
	@od -A d -t x1z -j 2048 -N 256 demo-out/demo.trd

# Hardening: the fuzzer, every test under the sanitizers, and memcheck.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_CXX ?= clang++
SANITIZE_BUILD ?= build-sanitize
SANITIZE = -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
VALGRIND = valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=all
PROGRAM_SOURCES = $(filter-out driver/main.cpp,$(wildcard driver/*.cpp tap/*.cpp trd/*.cpp))

.PHONY: fuzz test-sanitize memcheck

$(FUZZ_BUILD)/fuzz_convert: fuzz/fuzz_convert.cpp $(PROGRAM_SOURCES) $(wildcard */*.h)
	@mkdir -p $(FUZZ_BUILD)
	$(FUZZ_CXX) -std=c++20 -g -O1 -I. -D_FILE_OFFSET_BITS=64 -Wall -Wextra -Wpedantic \
	  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
	  -o $@ fuzz/fuzz_convert.cpp $(PROGRAM_SOURCES)

# What a run finds goes to a scratch copy of the seed corpus, kept from run
# to run, so the committed corpus stays small.
fuzz: $(FUZZ_BUILD)/fuzz_convert
	@mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/artifacts
	cp fuzz/corpus/* $(FUZZ_BUILD)/corpus/
	$(FUZZ_BUILD)/fuzz_convert -max_total_time=$(FUZZ_SECONDS) -max_len=8192 \
	  -print_final_stats=1 -close_fd_mask=3 \
	  -artifact_prefix=$(abspath $(FUZZ_BUILD)/artifacts)/ $(abspath $(FUZZ_BUILD)/corpus)

# -O1: much quicker to build than the optimised default, and the reports
# still point at the right lines.
test-sanitize:
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug \
	  "-DCMAKE_CXX_FLAGS=$(SANITIZE) -O1" "-DCMAKE_EXE_LINKER_FLAGS=$(SANITIZE)"
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS)

memcheck: $(BUILD)/quornax
	@scratch=$$(mktemp -d) && trap 'rm -rf "$$scratch"' EXIT && \
	cp examples/demo.tap "$$scratch"/ && \
	python3 fuzz/make_tapes.py pairs 130 "$$scratch"/pairs130.tap && \
	cd "$$scratch" && \
	$(VALGRIND) $(abspath $(BUILD))/quornax demo.tap >/dev/null && \
	$(VALGRIND) $(abspath $(BUILD))/quornax pairs130.tap >/dev/null && \
	echo "memcheck: demo.tap and pairs130.tap without errors or leaks"

# Times one run over 300 synthetic tapes against split writing as many
# bytes into as many files; BENCH_ARGS passes options on (--dir, --tapes).
.PHONY: bench package
bench: $(BUILD)/quornax
	python3 bench/bench.py $(BUILD)/quornax $(BENCH_ARGS)

# A Debian package from a release build of its own, without the tests.
PACKAGE_BUILD ?= build-pkg
package:
	cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=Release \
	  -DQUORNAX_TESTS=OFF -DQUORNAX_GZIP_MAN=ON
	cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	cd $(PACKAGE_BUILD) && cpack

# The web page: the program built to WebAssembly by emscripten, beside an
# index.html that runs it. emcc's own tools need Debian's node modules
# even when node itself comes from elsewhere.
WEB_BUILD ?= build-web
WEBREF_BUILD ?= build-webref
WEB_NODE_PATH = /usr/share/nodejs$${NODE_PATH:+:$$NODE_PATH}

web:
	emcmake cmake -S . -B $(WEB_BUILD) -DQUORNAX_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
	NODE_PATH=$(WEB_NODE_PATH) cmake --build $(WEB_BUILD) -j $(JOBS)

# The page in headless Chromium against a Linux build of the same sources.
test-web: web
	cmake -S . -B $(WEBREF_BUILD) -DQUORNAX_TESTS=OFF
	cmake --build $(WEBREF_BUILD) -j $(JOBS)
	python3 web/test_web.py $(WEB_BUILD) $(WEBREF_BUILD)/quornax

clean:
	rm -rf $(BUILD) demo-out

FORCE:
