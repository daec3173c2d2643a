# make        set up the machine if needed, build every module into dist/
# make test   the same, then run every test (native and under Wine)
#
# Two CMake builds share the source tree: build/native (bitmap generator,
# native tests) and build/win32 (the modules and the Wine test program).

SHELL := /bin/bash
JOBS  ?= $(shell nproc)
BUILD ?= build
NATIVE := $(BUILD)/native
WIN32  := $(BUILD)/win32
BITMAPS := $(abspath $(BUILD))/bitmaps

.PHONY: all setup native bitmaps win32 dist test clean

all: dist

setup:
	@bash scripts/setup.sh

native: setup
	@cmake -S . -B $(NATIVE) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(NATIVE) -j $(JOBS)

bitmaps: native
	@$(NATIVE)/bmpgen $(BITMAPS)

win32: bitmaps
	@cmake -S . -B $(WIN32) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	    -DCMAKE_BUILD_TYPE=Release -DGAUGE_BITMAP_DIR=$(BITMAPS) >/dev/null
	@cmake --build $(WIN32) -j $(JOBS)

dist: win32
	@mkdir -p dist
	@for f in $(WIN32)/gau/*.gau; do cmp -s $$f dist/$$(basename $$f) || cp $$f dist/; done
	@echo "modules in dist/:"; ls -l dist/*.gau | awk '{print "  " $$NF " (" $$5 " bytes)"}'

test: dist
	@GAUGE_BUILD=$(BUILD) bash scripts/run-tests.sh

clean:
	rm -rf $(BUILD) dist
