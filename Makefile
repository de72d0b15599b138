# A thin wrapper over the CMake presets.
#   make        build the optimised binary (build/kestrom)
#   make demo   build it and show it at work on the bundled sample
#   make test   every test: unit and end-to-end, also under the sanitizers, and the fuzzers briefly
#   make bench  micro-benchmarks, the whole-process comparison and the patterns of many sets
#   make package  a Debian package (build/package/kestrom_*.deb), by dpkg-buildpackage
#   make valgrind  the end-to-end tests with the binary under valgrind
#   make faults every system call of an in-place rewrite failing at every moment
#   make test-s390x  the unit and end-to-end tests of a big-endian build without SSE2, under qemu

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 20

.PHONY: all build demo test test-release test-debug test-s390x valgrind fuzz faults bench install \
        uninstall package format clean

all: build

build:
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)

demo: build
	@sh examples/demo.sh build/kestrom

test: test-release test-debug fuzz

test-release:
	cmake --preset release -DKESTROM_WERROR=ON >/dev/null
	cmake --build --preset release -j $(JOBS)
	cd build && ctest --output-on-failure

test-debug:
	cmake --preset debug -DKESTROM_WERROR=ON >/dev/null
	cmake --build --preset debug -j $(JOBS)
	cd build/debug && ctest --output-on-failure

fuzz:
	cmake --preset fuzz -DKESTROM_WERROR=ON >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	sh fuzz/run.sh build/fuzz $(FUZZ_SECONDS)

# The end-to-end tests with the binary under valgrind: no memory error, no leak.
VALGRIND = valgrind -q --vgdb=no --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect
valgrind: test-release
	cd build && KESTROM_TEST_WRAPPER="$(VALGRIND)" ./cli_tests

# Big-endian and without SSE2: byte-order faults and the scalar searches cannot hide here. Needs
# Debian's g++-s390x-linux-gnu and qemu-user (.ci/run installs them).
QEMU = qemu-s390x -L /usr/s390x-linux-gnu
test-s390x:
	cmake --preset s390x -DKESTROM_WERROR=ON >/dev/null
	cmake --build --preset s390x -j $(JOBS)
	cd build/s390x && $(QEMU) ./unit_tests && KESTROM_TEST_WRAPPER="$(QEMU)" $(QEMU) ./cli_tests

faults: test-release
	cd build && KESTROM_FAULTS_FULL=1 ./cli_tests --gtest_filter='Faults.*'

bench:
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS)
	build/bench/micro_bench
	sh bench/compare.sh build/bench/kestrom
	sh bench/sets.sh build/bench/kestrom

# DESTDIR stages the installation (for packaging); PREFIX chooses where it goes. It installs what
# was built, and builds only when nothing was, so that "sudo make install" after "make" leaves no
# file of build/ owned by root.
install:
	@[ -x build/kestrom ] || $(MAKE) build
	DESTDIR=$(DESTDIR) cmake --install build --prefix $(or $(PREFIX),/usr/local)

# Removes what the last install put in place.
uninstall:
	xargs -r -d '\n' rm -f -- < build/install_manifest.txt

# A Debian package, built the Debian way from a copy of the tree, so that the tree stays clean.
# Needs what debian/control lists under Build-Depends, and dpkg-dev; DEB_BUILD_OPTIONS=nocheck
# skips the tests.
package:
	rm -rf build/package
	mkdir -p build/package/kestrom
	tar -c --exclude=./build --exclude=./.git --exclude='./obj-*' . | tar -x -C build/package/kestrom
	cd build/package/kestrom && dpkg-buildpackage -us -uc -b
	@ls build/package/*.deb

format:
	git ls-files 'src/*' 'tests/*' 'bench/*' 'fuzz/*' | grep -E '\.(cpp|hpp)$$' | xargs clang-format -i

clean:
	rm -rf build
