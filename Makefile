# make        set up the machine if needed, build every module into dist/
#             (and the release archive dist/gauge-panel-<version>.zip),
#             render the previews and play the STAB walkthrough
# make test   the same, then run every test suite (scripts/run-tests.sh)
# make serve  the example panel live in the browser (./gaugehost serve)
# make example-panel  draws the example panel's background (docs/panel/panel.bmp) again
# make bench-serve  the live panel's latency, update rate and memory
# make bench-editor the panel editor on a panel of 40 gauges: open, drag, save
# make screenshots  the README's pictures of serve (docs/serve.png, docs/editor.png)
# make fuzz   lumivane's sound-file fuzz at length (FUZZ_FILES, 5000)
# make soak   lumivane's click soak at length (SOAK_CLICKS, 20000) and
#             `gaugehost check --level 5` over every module (long: see README)
#
# Two CMake builds share the source tree (CMakePresets.json): build/native
# (bitmap generators, native tests) and build/win32 (the modules, gaugehost,
# the Wine tests). Building win32 brings native up to date first.

SHELL := /bin/bash
JOBS  ?= $(shell nproc)
BUILD ?= build
NATIVE := $(BUILD)/native
WIN32  := $(BUILD)/win32
export GAUGE_BUILD := $(BUILD)
# The makes that CMake runs inside this one need not announce every folder.
MAKEFLAGS += --no-print-directory

.PHONY: all setup configure dist preview example-panel walkthrough test fuzz soak serve bench-serve bench-editor \
        screenshots clean

all: dist preview walkthrough

setup:
	@bash scripts/setup.sh

configure: setup
	@cmake --preset native -B $(NATIVE) >/dev/null
	@cmake --preset win32 -B $(WIN32) -DGAUGE_NATIVE_DIR=$(abspath $(NATIVE)) >/dev/null

dist: configure
	@cmake --build $(WIN32) -j $(JOBS)
	@echo "modules in dist/:"; ls -l dist/*.gau | awk '{print "  " $$NF " (" $$5 " bytes)"}'
	@/usr/bin/python3 scripts/package.py dist $(WIN32)/bin/gaugehost.exe

# Pictures of every module present, in a few telling states (gaugehost).
preview: dist
	@bash scripts/previews.sh dist/preview

# The example panel's background, docs/panel/panel.bmp, drawn again from its
# generator (tools/panel/background.cpp). make never rewrites a tracked file
# by itself; the tests check that this one is what the generator draws.
example-panel: configure
	@cmake --build $(NATIVE) --target bmpgen_panel -j $(JOBS)
	@$(NATIVE)/generators/bmpgen_panel $(BUILD)/panel-bitmaps >/dev/null
	@cp $(BUILD)/panel-bitmaps/panel/panel.bmp docs/panel/panel.bmp
	@echo "wrote docs/panel/panel.bmp"

# The STAB walkthrough: a click on the lights panel's STAB switch, followed
# through the key event, the variable and the next frame.
walkthrough: dist
	@if [ -f dist/lumivane.gau ]; then \
	    echo "== STAB walkthrough (tests/host/scenarios/lumivane-stab.txt)"; \
	    ./gaugehost run dist/lumivane.gau tests/host/scenarios/lumivane-stab.txt; \
	else echo "STAB walkthrough skipped: dist/lumivane.gau is not built"; fi

test: dist
	@bash scripts/run-tests.sh

# The long runs of what `make test` runs briefly. The Wine test program's
# long cases read their length from the environment.
FUZZ_FILES  ?= 5000
SOAK_CLICKS ?= 20000
WINE_TESTS := $(WIN32)/bin/wine_tests.exe

fuzz: dist
	@GAUGE_FUZZ_FILES=$(FUZZ_FILES) scripts/wine-run $(WINE_TESTS) \
	    --gtest_filter='LumivaneSoundFiles.FuzzOfMutatedClickFiles'

soak: dist
	@GAUGE_SOAK_CLICKS=$(SOAK_CLICKS) scripts/wine-run $(WINE_TESTS) \
	    --gtest_filter='Lumivane.SoakOfClicksDoesNotGrow'
	@./gaugehost check --level 5 dist/*.gau

serve: dist
	@./gaugehost serve

bench-serve: dist
	@/usr/bin/python3 tests/bench/serve_bench.py

bench-editor: dist
	@/usr/bin/python3 tests/bench/editor_bench.py

screenshots: dist
	@/usr/bin/python3 tests/host/screenshots.py

clean:
	rm -rf $(BUILD) dist
