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

demo: $(BUILD)/quornax
	@rm -rf demo-out && mkdir demo-out && cp examples/demo.tap demo-out/
	cd demo-out && ../$(BUILD)/quornax demo.tap
	@echo
	@echo "demo-out/demo.trd, $$(wc -c < demo-out/demo.trd) bytes; its catalogue and disk info sector:"
	@od -A d -t x1 -N 2304 demo-out/demo.trd | sed -n '1,6p;/^0002048/,$$p'

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
