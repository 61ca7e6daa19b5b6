# The only entry point a user needs.  `make demo` runs the main job, `make test` runs every test.
# Both install what is missing first (Debian packages listed in deps/debian-packages.txt).

PRESET ?= default
BUILD  := build/$(PRESET)
PACKAGES := $(shell sed -e 's/\#.*//' deps/debian-packages.txt)
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps configure build demo test test-asan test-tsan bench format clean

all: build

# Installs only what dpkg does not already report as installed; costs one dpkg-query otherwise.
deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

configure: deps
	@[ -f $(BUILD)/build.ninja ] || cmake --preset $(PRESET)

build: configure
	cmake --build $(BUILD)

demo: build
	$(BUILD)/bin/vexsim --plug 1:1:high --plug 0:2:full --script sim/cli/demo.vexsim

test: build
	ctest --preset $(PRESET)

test-asan:
	$(MAKE) test PRESET=asan

test-tsan:
	$(MAKE) test PRESET=tsan

bench: build
	@for b in $(BUILD)/bin/bench_*; do [ -x "$$b" ] && "$$b" || exit 1; done

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
