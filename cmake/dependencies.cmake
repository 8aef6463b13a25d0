# Third-party dependencies: ONNX Runtime from third_party/ (or a host's own
# install), FFmpeg and Highway through pkg-config, stb headers from Debian.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

if(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64|arm64")
  set(_ort_arch arm64)
else()
  set(_ort_arch x64)
endif()
set(LE_ONNXRUNTIME_ROOT "${PROJECT_SOURCE_DIR}/third_party/onnxruntime" CACHE PATH
    "ONNX Runtime root: include/ with the C/C++ headers, lib/ (or lib/<arch>/) with libonnxruntime.so.1")
find_path(LE_ORT_INCLUDE_DIR onnxruntime_cxx_api.h
  PATHS ${LE_ONNXRUNTIME_ROOT}/include ${LE_ONNXRUNTIME_ROOT}/include/onnxruntime NO_DEFAULT_PATH)
find_library(LE_ORT_LIBRARY NAMES libonnxruntime.so.1 onnxruntime
  PATHS ${LE_ONNXRUNTIME_ROOT}/lib/${_ort_arch} ${LE_ONNXRUNTIME_ROOT}/lib NO_DEFAULT_PATH)
if(NOT LE_ORT_INCLUDE_DIR OR NOT LE_ORT_LIBRARY)
  message(FATAL_ERROR "ONNX Runtime not found under ${LE_ONNXRUNTIME_ROOT}: run `make deps` "
                      "or pass -DLE_ONNXRUNTIME_ROOT=<dir with include/ and lib/>")
endif()
get_filename_component(LE_ORT_LIBDIR ${LE_ORT_LIBRARY} DIRECTORY)
add_library(le::onnxruntime SHARED IMPORTED)
set_target_properties(le::onnxruntime PROPERTIES
  IMPORTED_LOCATION ${LE_ORT_LIBRARY}
  IMPORTED_NO_SONAME OFF
  INTERFACE_INCLUDE_DIRECTORIES ${LE_ORT_INCLUDE_DIR}
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${LE_ORT_INCLUDE_DIR})
# Tests and tools run straight from the build tree without LD_LIBRARY_PATH.
set(CMAKE_BUILD_RPATH ${LE_ORT_LIBDIR})

pkg_check_modules(LE_FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libswscale libavutil)
add_library(le::ffmpeg ALIAS PkgConfig::LE_FFMPEG)
pkg_check_modules(LE_HWY REQUIRED IMPORTED_TARGET libhwy)
add_library(le::hwy ALIAS PkgConfig::LE_HWY)
if(_ort_arch STREQUAL "arm64")
  # GCC fuses a * b + c into one multiply-add wherever the target has one, in
  # C++ even under -std=c++20. Code built for x86's baseline never fuses;
  # without this, scalar expressions on Arm, test references included, would
  # round differently from it. The SIMD kernels' explicit MulAdd still fuses.
  add_compile_options(-ffp-contract=off)
  # NEON is the aarch64 baseline, so by default Highway leaves its scalar
  # fallback target out there, while x86, whose baseline it is, always has it.
  # Compiling it in keeps that fallback tested on Arm too. It is never chosen
  # at run time, since every aarch64 CPU has NEON.
  target_compile_definitions(PkgConfig::LE_HWY INTERFACE HWY_COMPILE_ALL_ATTAINABLE)
endif()

find_path(LE_STB_INCLUDE_DIR stb_image.h PATH_SUFFIXES stb REQUIRED)
