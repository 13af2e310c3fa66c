# The commands (see README.md):
#   make demo    the whole product at work in a sandbox Wine prefix
#   make check   build everything and pass every test under Wine
#   make bench   the benchmarks: one table per build that runs here
#   make msi DRIVER_X86=DIR DRIVER_X64=DIR
#            [SIGN_PFX=FILE SIGN_PASS_FILE=FILE [SIGN_TIMESTAMP=URL]]
#            [PREVIOUS_X86=MSI PREVIOUS_X64=MSI]
#                the Windows Installer packages, in $(BUILD)/msi; it fails
#                when a file's version is lower than in a previous package
# Each installs what is missing first (tools/install-deps.sh).
#
# Two builds of the same sources, each in a CMake tree of its own:
#   $(BUILD)/x86  the x86 build, for Windows 2000 and XP; product folder $(BUILD)/dist
#   $(BUILD)/x64  the x64 build, for 64-bit Windows;      product folder $(BUILD)/dist-x64

BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
X86 := $(BUILD)/x86
X64 := $(BUILD)/x64
CMAKE_ARGS := -DCMAKE_BUILD_TYPE=Release

.PHONY: all deps configure build dist check demo bench msi clean

all: dist

deps:
	@sh tools/install-deps.sh

$(X86)/CMakeCache.txt: | deps
	cmake -S . -B $(X86) -DCMAKE_TOOLCHAIN_FILE=tools/mingw32.cmake $(CMAKE_ARGS) \
	    -DKIV_DIST_DIR=$(abspath $(BUILD))/dist

$(X64)/CMakeCache.txt: | deps
	cmake -S . -B $(X64) -DCMAKE_TOOLCHAIN_FILE=tools/mingw64.cmake $(CMAKE_ARGS) \
	    -DKIV_DIST_DIR=$(abspath $(BUILD))/dist-x64

configure: deps $(X86)/CMakeCache.txt $(X64)/CMakeCache.txt

build: configure
	cmake --build $(X86) -j $(JOBS)
	cmake --build $(X64) -j $(JOBS)

dist: build
	cmake --build $(X86) --target dist
	cmake --build $(X64) --target dist

check: dist
	sh tools/check.sh $(BUILD) $(JOBS)

demo: dist
	sh tools/demo.sh $(BUILD)

bench: dist
	cmake --build $(X86) -j $(JOBS) --target bench_programs
	cmake --build $(X64) -j $(JOBS) --target bench_programs
	sh tools/bench.sh $(BUILD)

# One package per build, from its product folder and the driver files
# delivered beside this software (tools/msi/mkmsi.py).
msi: dist
	@if [ -z "$(DRIVER_X86)" ] || [ -z "$(DRIVER_X64)" ]; then \
	    echo "make msi: name the folders of the driver files: make msi DRIVER_X86=<folder> DRIVER_X64=<folder>" >&2; \
	    exit 1; fi
	python3 tools/msi/mkmsi.py --out $(BUILD)/msi \
	    $(if $(SIGN_PFX),--sign-pfx "$(SIGN_PFX)") $(if $(SIGN_PASS_FILE),--sign-pass-file "$(SIGN_PASS_FILE)") \
	    $(if $(SIGN_TIMESTAMP),--sign-timestamp "$(SIGN_TIMESTAMP)") \
	    $(if $(PREVIOUS_X86),--previous x86 "$(PREVIOUS_X86)") $(if $(PREVIOUS_X64),--previous x64 "$(PREVIOUS_X64)") \
	    --build x86 $(BUILD)/dist "$(DRIVER_X86)" $(X86)/msi-action/kivmsica.dll \
	    --build x64 $(BUILD)/dist-x64 "$(DRIVER_X64)" $(X64)/msi-action/kivmsica.dll

clean:
	rm -rf $(BUILD)
