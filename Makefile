# Two build trees: build/host (native: zobrin-pack and its tests) and build/win (mingw-w64,
# Universal CRT: the launcher and the programs tested under Wine).
BUILD    := $(CURDIR)/build
HOST     := $(BUILD)/host
WIN      := $(BUILD)/win
BIN      := $(BUILD)/bin
SPECS    := $(BUILD)/ucrt.specs
ZSTD_WIN := $(BUILD)/deps/zstd-win
JOBS     ?= $(shell nproc)

.PHONY: all setup build host win test demo bench clean install

all: build

setup:
	bash scripts/setup.sh
	mkdir -p $(BUILD)
	test -f $(SPECS) || bash scripts/ucrt-specs.sh $(SPECS)
	bash scripts/build-zstd-windows.sh $(ZSTD_WIN) $(SPECS)
	bash scripts/wine-prefix.sh

host:
	cmake -S . -B $(HOST) -DCMAKE_BUILD_TYPE=Release -DZOBRIN_BIN_DIR=$(BIN) >/dev/null
	cmake --build $(HOST) -j $(JOBS)

win: host
	cmake -S . -B $(WIN) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake \
	  -DZOBRIN_UCRT_SPECS=$(SPECS) -DZOBRIN_ZSTD_WIN=$(ZSTD_WIN) \
	  -DZOBRIN_PACK=$(BIN)/zobrin-pack -DZOBRIN_BIN_DIR=$(BIN) -DZOBRIN_CRAFT=$(HOST)/craft-payload \
	  -DZOBRIN_HOST_TREE=$(HOST) >/dev/null
	cmake --build $(WIN) -j $(JOBS)

build: setup win

test: build
	bash scripts/run-tests.sh $(HOST) $(WIN)

# zobrin-pack, the launcher kit, zobrin/app.h, the CMake package and the documentation under
# PREFIX (cmake/install.cmake).
PREFIX ?= /usr/local
install: build
	cmake --install $(HOST) --prefix "$(PREFIX)"

demo: build
	bash scripts/demo.sh

# Launch and pack speed and memory against the floor (about 20 minutes; not part of test).
# BENCH_ARGS=--quick runs small workloads.
bench: build
	bash scripts/setup-bench.sh
	mkdir -p $(BUILD)/bench
	bash scripts/bench.sh $(BENCH_ARGS)

clean:
	rm -rf $(HOST) $(WIN) $(BIN)

# Coverage-guided fuzzing of the payload reader and the argument quoting (clang, libFuzzer,
# ASan, UBSan) in build/fuzz; FUZZ_SECONDS per target. Not part of test: every finding is
# kept in tests/fuzz/regressions/, which test replays.
FUZZ         := $(BUILD)/fuzz
FUZZ_SECONDS ?= 60

.PHONY: fuzz
fuzz: setup host
	cmake -S tests/fuzz -B $(FUZZ) -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build $(FUZZ) -j $(JOBS)
	bash tests/fuzz/run.sh $(FUZZ) $(HOST) $(BIN)/zobrin-pack $(FUZZ_SECONDS)

# The release archives in build/dist/: zobrin-onefile-<version>-linux-x86_64.tar.gz and
# zobrin-onefile-<version>-windows-x86_64.zip (scripts/dist.sh; tested by tests/dist_test.sh).
DIST := $(BUILD)/dist

.PHONY: dist
dist: build
	bash scripts/dist.sh $(CURDIR) $(HOST) $(BIN) $(DIST)
