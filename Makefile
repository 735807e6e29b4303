# The two commands of the README: `make run` and `make test`. Each installs
# what it needs first: `make run` only what building and running the player
# takes, `make test` the test tools as well.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
PKG_BUILD  ?= build-package
JOBS       ?= $(shell nproc)
EXAMPLE    ?= examples/relaxation.seq
PROGRAMS   := ambrise ambrise-render ambrise-check
FUZZERS    := sequence_fuzz stepper_fuzz mpris_fuzz background_word_fuzz background_source_fuzz

# New build trees use Ninja: a build with nothing to do takes milliseconds.
export CMAKE_GENERATOR ?= Ninja
# No "Entering directory" chatter from this make or the ones CMake starts,
# no progress lines; compiler messages still show.
MAKEFLAGS  += --no-print-directory
QUIET      := --no-warn-unused-cli -DCMAKE_RULE_MESSAGES=OFF -DCMAKE_TARGET_MESSAGES=OFF
SHELL      := /bin/bash
.SHELLFLAGS := -o pipefail -c
# cmake-build DIR [ARGS]: a quiet build, whichever generator made the tree.
cmake-build = cmake --build $(1) -j $(JOBS) $(2) -- \
  $$(grep -qs '^CMAKE_GENERATOR:INTERNAL=Ninja' $(1)/CMakeCache.txt && echo --quiet || echo -s) \
  | { grep -v '^ninja: no work to do' || true; }

.PHONY: all deps test-deps programs build build-asan run render test fuzz bench install uninstall package clean

all: programs

deps:
	@bash scripts/install-deps

test-deps:
	@bash scripts/install-deps test

# The programs only. The build tree is configured once; after that CMake
# itself notices a changed CMakeLists.txt.
programs: deps
	@[ -f $(BUILD)/CMakeCache.txt ] || { echo "ambrise: configuring $(BUILD)/"; \
	  cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBRISE_TESTS=OFF $(QUIET) >/dev/null; }
	@echo "ambrise: building the programs in $(BUILD)/"
	@$(call cmake-build,$(BUILD),--target $(PROGRAMS))

# Programs and tests, plain and with sanitizers.
build: test-deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBRISE_TESTS=ON $(QUIET) >/dev/null
	@$(call cmake-build,$(BUILD))

build-asan: test-deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DAMBRISE_SANITIZE=ON -DAMBRISE_TESTS=ON $(QUIET) >/dev/null
	@$(call cmake-build,$(ASAN_BUILD))

render: programs
	@bash scripts/render-example $(BUILD)/ambrise-render $(EXAMPLE) $(BUILD)/example.wav

run: programs
	@bash scripts/run-player $(BUILD) $(EXAMPLE)

# Both halves run whatever the other gives; the target fails if either did.
test: test-deps
	@bash scripts/run-tests $(BUILD) $(ASAN_BUILD) $(JOBS)

fuzz: test-deps
	@cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DAMBRISE_FUZZER=ON -DAMBRISE_SANITIZE=ON $(QUIET) >/dev/null
	@$(call cmake-build,$(FUZZ_BUILD),--target $(FUZZERS))
	@for f in $(FUZZERS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$f; \
	  echo "ambrise: fuzzing $$f for $${FUZZ_SECONDS:-60} s"; \
	  $(FUZZ_BUILD)/$$f -max_total_time=$${FUZZ_SECONDS:-60} -timeout=10 -detect_leaks=0 \
	    -artifact_prefix=$(FUZZ_BUILD)/$$f- $(FUZZ_BUILD)/corpus/$$f tests/fuzz/$$f examples || exit 1; \
	done

bench: programs
	@bash bench/render-speed
	@bash bench/check-speed
	@bash bench/player-cpu
	@PLAYER_ARGS="-colorbox 640 480" bash bench/player-cpu
	@PLAYER_ARGS="-hq -harmonics 10" bash bench/player-cpu
	@bash bench/player-latency

# Both take DESTDIR (and PREFIX for another place than /usr/local); uninstall
# removes what install put there, files and the directories it made, and
# nothing else.
install: programs
	@bash packaging/install-tree install $(BUILD)

uninstall:
	@bash packaging/install-tree uninstall $(BUILD)

# A Debian package, built in its own tree for /usr with all of the
# distribution's hardening flags (bindnow among them).
package: test-deps
	@export DEB_BUILD_MAINT_OPTIONS=hardening=+all; \
	  CXXFLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CXXFLAGS)" \
	  LDFLAGS="$$(dpkg-buildflags --get LDFLAGS)" \
	  cmake -S . -B $(PKG_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
	    -DAMBRISE_DEBIAN=ON -DAMBRISE_TESTS=OFF $(QUIET) >/dev/null
	@$(call cmake-build,$(PKG_BUILD))
	@cd $(PKG_BUILD) && cpack -G DEB >cpack.log 2>&1 || { cat cpack.log; exit 1; }
	@echo "ambrise: built $$(ls $(PKG_BUILD)/ambrise_*.deb)"

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(PKG_BUILD)
