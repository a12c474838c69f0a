# Set-up commands: `make test` and `make demo`. See README.md.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
# Rebuilds reuse earlier compilations where ccache is installed.
LAUNCHER := $(if $(shell command -v ccache),-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

.PHONY: deps configure build test asan-test bench demo clean

deps:
	bash scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LAUNCHER)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

asan-test: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVEK_SANITIZE=ON -DVEK_BUILD_BENCH=OFF $(LAUNCHER)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

bench: build
	for b in $(BUILD)/bench/*/bench_*; do echo "== $$b"; $$b; done
	for s in bench/conversion/png.sh bench/conversion/mjpeg.sh bench/conversion/mp4.sh; do echo "== $$s"; bash $$s $(BUILD); done
	bash bench/conversion/table.sh $(BUILD)

demo: build
	@if [ -x scripts/demo.sh ]; then bash scripts/demo.sh $(BUILD); \
	else echo "demo: the conversion run and the vekconv command are not built yet"; exit 1; fi

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

# The 32-bit and 64-bit Windows DLLs, cross-built with mingw-w64 (see
# README.md, Windows).
WINDOWS_BUILD ?= build-windows
WINDOWS64_BUILD ?= build-windows-x64
.PHONY: windows windows-test windows-screenshots windows-package
windows:
	bash scripts/windows-build.sh $(WINDOWS_BUILD) i686-w64-mingw32
	bash scripts/windows-build.sh $(WINDOWS64_BUILD) x86_64-w64-mingw32

# Both DLLs are tested even when the first fails; the target fails if either does.
windows-test:
	bash scripts/windows-test.sh $(WINDOWS_BUILD) $(BUILD) i686-w64-mingw32; a=$$?; \
	bash scripts/windows-test.sh $(WINDOWS64_BUILD) $(BUILD) x86_64-w64-mingw32; b=$$?; \
	bash scripts/windows-package-test.sh build-package; c=$$?; \
	test $$a = 0 && test $$b = 0 && test $$c = 0

# libvek-<version>-win32.zip and -win64.zip in build-package/ (see README.md, Windows).
windows-package:
	bash scripts/windows-package.sh build-package

# The dialogs of the (32-bit) Windows DLL under Wine, written to docs/screenshots/windows/.
windows-screenshots: windows
	bash scripts/windows-dialogs.sh $(WINDOWS_BUILD) $(WINDOWS_BUILD)/dialogs shots
