# The two commands (see README.md):
#   make demo    the path agent at work in a sandbox Wine prefix
#   make check   build everything and pass every test under Wine
# Both install what is missing first (tools/install-deps.sh).

BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure build dist check demo clean

all: dist

deps:
	@sh tools/install-deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=tools/mingw32.cmake -DCMAKE_BUILD_TYPE=Release

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

dist: build
	cmake --build $(BUILD) --target dist

check: dist
	cd $(BUILD) && ctest -j $(JOBS) --output-on-failure

demo: dist
	sh tools/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD)
