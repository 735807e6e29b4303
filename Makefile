# The two commands of the README: `make run` and `make test`. Both install
# what they need first.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
EXAMPLE    ?= examples/relaxation.seq

.PHONY: all deps build build-asan run render test test-asan fuzz bench install package clean

all: build

deps:
	@bash scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DAMBRISE_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)

render: build
	@bash scripts/render-example $(BUILD)/ambrise-render $(EXAMPLE) $(BUILD)/example.wav

run: build
	@bash scripts/run-player $(BUILD) $(EXAMPLE)

test: build build-asan
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

fuzz: deps
	@cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DAMBRISE_FUZZER=ON -DAMBRISE_SANITIZE=ON -DAMBRISE_PLAYER=OFF >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target sequence_fuzz
	@mkdir -p build-fuzz/corpus
	build-fuzz/sequence_fuzz -max_total_time=$${FUZZ_SECONDS:-60} -timeout=10 build-fuzz/corpus tests/fuzz/corpus

bench: build
	@bash bench/render-speed
	@bash bench/check-speed
	@bash bench/player-cpu
	@PLAYER_ARGS="-colorbox 640 480" bash bench/player-cpu

install: build
	@cmake --install $(BUILD)

package: build
	@cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-fuzz
