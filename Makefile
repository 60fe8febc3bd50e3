# The two commands a new user runs: `make demo` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all configure test demo clean

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

clean:
	rm -rf $(BUILD) demo-out

FORCE:
