# make        set up the machine if needed, build every module into dist/
#             (and the release archive dist/gauge-panel-<version>.zip)
# make test   the same, then run every test (native and under Wine)
# make serve  the example panel live in the browser (./gaugehost serve)
# make bench-serve  the live panel's latency, update rate and memory
#
# Two CMake builds share the source tree: build/native (bitmap generator,
# native tests) and build/win32 (the modules and the Wine test program).

SHELL := /bin/bash
JOBS  ?= $(shell nproc)
BUILD ?= build
NATIVE := $(BUILD)/native
WIN32  := $(BUILD)/win32
export GAUGE_BUILD := $(BUILD)
BITMAPS := $(abspath $(BUILD))/bitmaps

.PHONY: all setup native bitmaps win32 dist preview walkthrough test serve bench-serve clean

all: dist preview walkthrough

setup:
	@bash scripts/setup.sh

native: setup
	@cmake -S . -B $(NATIVE) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(NATIVE) -j $(JOBS)

bitmaps: native
	@$(NATIVE)/bmpgen $(BITMAPS)
	@cmp -s $(BITMAPS)/panel/panel.bmp docs/panel/panel.bmp || cp $(BITMAPS)/panel/panel.bmp docs/panel/panel.bmp

win32: bitmaps
	@cmake -S . -B $(WIN32) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	    -DCMAKE_BUILD_TYPE=Release -DGAUGE_BITMAP_DIR=$(BITMAPS) >/dev/null
	@cmake --build $(WIN32) -j $(JOBS)

dist: win32
	@mkdir -p dist
	@for f in $(WIN32)/gau/*.gau; do cmp -s $$f dist/$$(basename $$f) || cp $$f dist/; done
	@echo "modules in dist/:"; ls -l dist/*.gau | awk '{print "  " $$NF " (" $$5 " bytes)"}'
	@/usr/bin/python3 scripts/package.py dist

# Pictures of every module present, in a few telling states (gaugehost).
preview: dist
	@bash scripts/previews.sh dist/preview

# The STAB walkthrough: a click on the lights panel's STAB switch, followed
# through the key event, the variable and the next frame.
walkthrough: dist
	@if [ -f dist/lumivane.gau ]; then \
	    echo "== STAB walkthrough (tests/host/scenarios/lumivane-stab.txt)"; \
	    ./gaugehost run dist/lumivane.gau tests/host/scenarios/lumivane-stab.txt; \
	else echo "STAB walkthrough skipped: dist/lumivane.gau is not built"; fi

test: dist
	@GAUGE_BUILD=$(BUILD) bash scripts/run-tests.sh

serve: dist
	@./gaugehost serve

bench-serve: dist
	@/usr/bin/python3 tests/bench/serve_bench.py

clean:
	rm -rf $(BUILD) dist
