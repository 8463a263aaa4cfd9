# The two set-up commands of the README: `make demo` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
WERROR := $(if $(CI),ON,OFF)

.PHONY: all build demo test test-sanitize fuzz bench windows test-wine clean install

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBINSIFT_WERROR=$(WERROR)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Only what the demo runs: the program and the bin generator.
demo: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target binsift genbin
	rm -rf $(BUILD)/demo
	$(BUILD)/genbin --demo $(BUILD)/demo
	cd $(BUILD)/demo && ../binsift -p '$$RECYCLE.BIN' -f '$$I*.*' > report.txt
	@echo
	@echo "The report ($(BUILD)/demo/report.txt, Latin-1, shown here in UTF-8):"
	@iconv -f ISO-8859-1 -t UTF-8 $(BUILD)/demo/report.txt 2>/dev/null || cat $(BUILD)/demo/report.txt

# The program and its manual page, under PREFIX (staged below DESTDIR).
PREFIX ?= /usr/local
DESTDIR ?=
install: build
	install -d $(DESTDIR)$(PREFIX)/bin $(DESTDIR)$(PREFIX)/share/man/man1
	install -m 0755 $(BUILD)/binsift $(DESTDIR)$(PREFIX)/bin/binsift
	install -m 0644 doc/binsift.1 $(DESTDIR)$(PREFIX)/share/man/man1/binsift.1

# Every test; then the tests skipped for a package or folder this machine
# lacks are named (tools/skipped_tests.py), whatever the outcome.
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS); status=$$?; \
	  python3 $(CURDIR)/tools/skipped_tests.py $(CURDIR)/$(BUILD); exit $$status

# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer.
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
test-sanitize:
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DBINSIFT_WERROR=$(WERROR) \
	  -DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)" -DCMAKE_EXE_LINKER_FLAGS="$(SANITIZE_FLAGS)"
	cmake --build build-sanitize -j $(JOBS)
	cd build-sanitize && BINSIFT_SANITIZED=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tools/lsan.supp \
	  ctest --output-on-failure -j $(JOBS); status=$$?; \
	  python3 $(CURDIR)/tools/skipped_tests.py $(CURDIR)/build-sanitize; exit $$status

# Each fuzzing target for FUZZ_SECONDS (clang's libFuzzer); what they find
# goes to build-fuzz/crashes, and belongs in fuzz/regressions once fixed.
FUZZ_SECONDS ?= 30
FUZZ_TARGETS := report_row dos_pattern wildcard ini options trim info2 zone scan ntfs_index
FUZZ_FLAGS := -fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all -g -O1
fuzz:
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_CXX_FLAGS="$(FUZZ_FLAGS)" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
	  -DBINSIFT_FUZZ=ON -DBINSIFT_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS)
	mkdir -p build-fuzz/crashes
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/corpus/$$t; \
	  echo "fuzzing $$t for $(FUZZ_SECONDS) s"; \
	  build-fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 -close_fd_mask=3 -print_final_stats=1 \
	    -artifact_prefix=build-fuzz/crashes/$$t- build-fuzz/corpus/$$t fuzz/regressions/$$t \
	    > build-fuzz/$$t.log 2>&1; status=$$?; \
	  grep -E "^(Done|stat::(number_of_executed_units|new_units_added))|SUMMARY|ERROR" build-fuzz/$$t.log; \
	  [ $$status -eq 0 ] || { echo "fuzz_$$t found a failure: see build-fuzz/$$t.log"; exit 1; }; \
	done

# The Windows console program, cross-built with MinGW-w64: the 32-bit
# program the tool has always been, and a 64-bit one (tested under Wine).
windows:
	cmake -S . -B build-win32 -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_CXX_COMPILER=i686-w64-mingw32-g++ \
	  -DCMAKE_BUILD_TYPE=Release -DBINSIFT_TESTS=OFF -DBINSIFT_WERROR=$(WERROR)
	cmake --build build-win32 -j $(JOBS) --target binsift
	cmake -S . -B build-win64 -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++ \
	  -DCMAKE_BUILD_TYPE=Release -DBINSIFT_TESTS=OFF -DBINSIFT_WERROR=$(WERROR)
	cmake --build build-win64 -j $(JOBS) --target binsift

test-wine: build windows
	cd tests/wine && BINSIFT=$(CURDIR)/$(BUILD)/binsift timeout 1800 python3 -m unittest -v test_wine

clean:
	rm -rf $(BUILD) build-sanitize build-fuzz build-win32 build-win64

# Speed, system calls per file and peak memory on a synthetic bin of
# 100,000 index files, in folders and in NTFS images (raw, E01; carving), warm
# and (as root) on a cold page cache; bins and images made once under build/bench.
bench: build
	python3 bench/bench.py $(BUILD)
