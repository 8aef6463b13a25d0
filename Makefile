# One-command entry points. `make test` and `make demo` provision the machine
# themselves (Debian packages and ONNX Runtime via tools/deps.sh).
JOBS      ?= $(shell nproc)
CMAKE_GEN ?= -G Ninja
FUZZ_SECONDS ?= 30

.PHONY: all deps build test test-asan test-tsan test-tsan-threads test-arm test-arm-core deps-arm deps-bench bench fuzz demo clean

all: build

deps:
	@tools/deps.sh

build/build.ninja:
	cmake -S . -B build $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release

build: deps build/build.ninja
	cmake --build build -j $(JOBS)

test: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

# Sanitizer and fuzz builds: -O1 with line tables only compiles in half the
# time of -O2 -g, and every report still names its file and line.
SAN_CONFIG = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS_RELWITHDEBINFO='-O1 -g1' \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO='-O1 -g1'

build-asan/build.ninja:
	cmake -S . -B build-asan $(CMAKE_GEN) $(SAN_CONFIG) -DLE_SANITIZE=address

test-asan: deps build-asan/build.ninja
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

build-tsan/build.ninja:
	cmake -S . -B build-tsan $(CMAKE_GEN) $(SAN_CONFIG) -DLE_SANITIZE=thread

test-tsan: deps build-tsan/build.ninja
	cmake --build build-tsan -j $(JOBS)
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

# What CI runs under ThreadSanitizer: the suites whose objects run threads of
# their own or are driven from several (the session and its stress test, the
# motion back-ends, the shared encoders, the offline stream, the driver
# cursor and the prior handle read from two threads, the worker pool), and
# the int8 operator's concurrent first runs. The stress test and the teeth
# session test are parametrised (Teeth/UttStress..., InlineAndOwnThread/
# UttTeeth...). The long-stream memory tests (40 and 84 s of speech pushed
# from one thread) are left out: a third of the step's time for no thread the
# other tests do not already run.
TSAN_TESTS ?= ^(Teeth/|InlineAndOwnThread/)?(Utt|A2x|Motion|SharedEncoders|Fca|OfflineStream|PriorApi|DriverCursor|WorkerPool|PoolParallelRange|Int8ConvVNNI.ConcurrentFirstRuns)
TSAN_SKIP ?= LongStreams
test-tsan-threads: deps build-tsan/build.ninja
	cmake --build build-tsan -j $(JOBS)
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -R '$(TSAN_TESTS)' -E '$(TSAN_SKIP)'

# aarch64 cross build; CTest runs each test under qemu-aarch64 -cpu max.
deps-arm:
	@tools/deps.sh --arm64

build-arm/build.ninja:
	cmake -S . -B build-arm $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake

test-arm: deps-arm build-arm/build.ninja
	cmake --build build-arm -j $(JOBS)
	ctest --test-dir build-arm --output-on-failure -j $(JOBS)

# What CI runs under qemu: the whole aarch64 build, every SIMD kernel on every
# Arm target (simd_sve256 and simd_sve128 between them run all six), paste,
# bundle, driver, graph rewrite, pool and C API tests, one ONNX Runtime
# smoke run, the int8 operator's integer sums and the native fp16 engine's
# refusals and crops against ONNX Runtime (about 30 s of CPU emulated). Left
# out are the suites that run whole models or stream speech through the
# encoders (renderer, session, streaming, motion API, vozaz
# render/speak): emulated they take most of make test-arm's time, which CI's
# 40 minutes on two cores cannot hold next to the x86 suites.
ARM_CORE_TESTS ?= ^(forge_fixtures|simd_sve|SimdTargets|HalfKernels|SeparableResize|RetrieveTerms|Conv3x3Range|Yuv420Row|PlaneRows|GridSampleFast|WarpDirector|WarpBlock|Paste|Drive|FieldReaders|Identity|Imx|KeyScanner|Manifest|MemberNames|Paths|FfSource|GraphWire|GridSampleRewrite|HeadCubic|StudentBlend|Layers|Switches|Pool|WorkerPool|CApi|LogApi|A2xMeta|MotionMeta|MotionFft|TesseraJson|TesseraMembers|HeadPt|BankDecode|ComposeGeometry|Int8ConvVNNI.(EqualsConvInteger|EveryTarget|Quantisation)|ConvBackend.(RefusalsOfTheModel|CropsMatch))
test-arm-core: deps-arm build-arm/build.ninja
	cmake --build build-arm -j $(JOBS)
	ctest --test-dir build-arm --output-on-failure -j $(JOBS) -R '$(ARM_CORE_TESTS)'

build-bench/build.ninja:
	cmake -S . -B build-bench $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DLE_BUILD_TESTS=OFF -DLE_BUILD_BENCH=ON

deps-bench:
	@tools/deps.sh --bench

bench: deps-bench build-bench/build.ninja
	cmake --build build-bench -j $(JOBS)
	build-bench/bench/le_bench $(BENCH_ARGS)

build-fuzz/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B build-fuzz $(CMAKE_GEN) $(SAN_CONFIG) \
	  -DLE_BUILD_TESTS=OFF -DLE_BUILD_FUZZ=ON

fuzz: deps build-fuzz/build.ninja
	cmake --build build-fuzz -j $(JOBS) --target fuzzers
	tools/run_fuzzers.sh build-fuzz/fuzz $(FUZZ_SECONDS)

demo: build
	tools/demo.sh build

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz build-arm
