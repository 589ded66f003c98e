# The two commands that matter on a fresh machine: `make demo` and `make test`.
# Every target installs what it needs first (scripts/install-deps.sh).

BUILD      ?= build
BUILD_ASAN ?= build-asan
JOBS       ?= 2
FUZZ_SECONDS ?= 15

.PHONY: all deps configure build test test-normal test-asan fuzz demo bench clean install package

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARN_WERROR=ON

$(BUILD_ASAN)/build.ninja: | deps
	cmake -S . -B $(BUILD_ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUARN_SANITIZE=ON -DQUARN_WERROR=ON \
	  -DQUARN_BENCH=OFF

build: deps $(BUILD)/build.ninja
	ninja -C $(BUILD)

# The whole suite twice (normal, then AddressSanitizer + UndefinedBehaviorSanitizer),
# then every fuzz target briefly over its saved corpus.
test: test-normal test-asan fuzz

test-normal: build
	cd $(BUILD) && ctest -j$(JOBS) --output-on-failure

test-asan: deps $(BUILD_ASAN)/build.ninja
	ninja -C $(BUILD_ASAN)
	cd $(BUILD_ASAN) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest -j$(JOBS) --output-on-failure

fuzz: deps
	scripts/run-fuzz.sh $(FUZZ_SECONDS)

# The engine's main job on the bundled example working directory.
demo: build
	scripts/demo.sh $(BUILD)/bin/quarncrc

# The programs, their manual pages, the example working directory, the systemd
# units and the Postfix snippet (PREFIX=/usr/local by default; DESTDIR is honoured).
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package (quarncrc_<version>_<arch>.deb in the top folder), built in
# a tree of its own configured for /usr.
BUILD_PKG ?= build-pkg
package: deps
	cmake -S . -B $(BUILD_PKG) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_INSTALL_PREFIX=/usr -DQUARN_TESTS=OFF -DQUARN_BENCH=OFF
	ninja -C $(BUILD_PKG)
	cd $(BUILD_PKG) && cpack -G DEB
	cp $(BUILD_PKG)/quarncrc_*.deb .

bench: build
	scripts/run-bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_PKG) build-fuzz quarncrc_*.deb
