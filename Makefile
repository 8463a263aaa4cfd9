# The two set-up commands of the README: `make demo` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
WERROR := $(if $(CI),ON,OFF)

.PHONY: all build demo test bench clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBINSIFT_WERROR=$(WERROR)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	rm -rf $(BUILD)/demo
	$(BUILD)/genbin --demo $(BUILD)/demo
	cd $(BUILD)/demo && ../binsift -p '$$RECYCLE.BIN' -f '$$I*.*'

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)

# Speed, system calls per file and peak memory on a synthetic bin of
# 100,000 index files (generated once under build/bench).
bench: build
	python3 bench/bench.py $(BUILD)
