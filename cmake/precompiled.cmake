# A cold build (CI, a fresh clone) parses ONNX Runtime's C++ API, GoogleTest
# and the standard library once per target instead of once per file: about a
# third of a test file's compile. Behind a compiler launcher such as ccache
# they stay off by default: the cache does better, and a precompiled header
# would only defeat it. GCC 12's aarch64 cross compiler crashes on arm_sve.h's
# pragma (which Highway's SVE targets include) when a precompiled header is in
# play, so the cross build goes without.
set(LE_PCH_DEFAULT ON)
if(CMAKE_CXX_COMPILER_LAUNCHER OR CMAKE_CROSSCOMPILING)
  set(LE_PCH_DEFAULT OFF)
endif()
option(LE_PCH "Precompile the heavy third-party headers of the library and the tests" ${LE_PCH_DEFAULT})

set(LE_PCH_COMMON algorithm atomic cmath cstdint cstring functional memory mutex string thread
    vector onnxruntime_cxx_api.h)

# le_precompile(target [header...]): the common headers and the target's own,
# named without angle brackets, for C++ sources only (C files compile as they are).
function(le_precompile target)
  if(NOT LE_PCH)
    return()
  endif()
  foreach(header IN LISTS LE_PCH_COMMON ARGN)
    target_precompile_headers(${target} PRIVATE "$<$<COMPILE_LANGUAGE:CXX>:<${header}$<ANGLE-R>>")
  endforeach()
endfunction()

# The same holds for a unity build: in a cold build, batches of eight files
# share one parse of the headers, at about half the CPU of compiling them one
# by one. Behind a compiler launcher it stays off, so an edit recompiles one
# file, not its batch.
set(LE_UNITY_DEFAULT ON)
if(CMAKE_CXX_COMPILER_LAUNCHER)
  set(LE_UNITY_DEFAULT OFF)
endif()
option(LE_UNITY "Compile the library and the tests in batches of eight files" ${LE_UNITY_DEFAULT})

# le_unity(target): batches for the target's sources, except the SIMD kernels,
# which include themselves once per target through Highway's foreach_target.
function(le_unity target)
  if(NOT LE_UNITY)
    return()
  endif()
  set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)
  get_target_property(sources ${target} SOURCES)
  foreach(source IN LISTS sources)
    file(STRINGS ${source} dispatch REGEX "hwy/foreach_target.h")
    if(dispatch)
      set_source_files_properties(${source} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
    endif()
  endforeach()
endfunction()
