# Quick start:  make run   builds and starts Kalvex
#               make test  builds and runs the whole suite
#               make demo  converts a generated clip headless (the main job)
#               make install PREFIX=DIR   installs into DIR (default /usr/local)
#               make package  builds the Debian package kalvex_<version>_<arch>.deb in $(BUILD)
#               make mutants [N=30]  runs the suite against each deliberate fault of tests/mutation
BUILD  ?= build
JOBS   ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: all deps configure build run test demo bench install package mutants clean

all: build

deps:
	@sh scripts/install-deps.sh

configure: deps
	@if [ ! -f $(BUILD)/build.ninja ]; then cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo; fi

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/bin/Kalvex

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

demo: build
	sh scripts/demo.sh $(BUILD)

bench: build
	sh bench/run.sh $(BUILD)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

package: build
	cd $(BUILD) && cpack -G DEB

# Not part of `make test`: up to an hour on two cores (N picks a sample).
mutants: build
	python3 tests/mutation/mutants.py --build $(BUILD) $(if $(N),--sample $(N))

clean:
	rm -rf $(BUILD)
