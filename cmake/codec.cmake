# The codec core (src/codec/): the PNG and BMP codecs in plain C++ over bytes, with no Python
# in them. One static library, linked into the extension and, without any Python, into the
# native test binary and the fuzz targets.
#
#   -DQUORVEX_PYTHON=OFF        the library alone: no Python is looked for, no extension
#   -DQUORVEX_NATIVE_TESTS=ON   the native test binary, quorvex_native_tests
#   -DQUORVEX_FUZZ=ON           the libFuzzer targets (clang only), fuzz_native_NAME for
#                               each fuzz/native/NAME.cpp

option(QUORVEX_PYTHON "Build the Python extension (needs Python's development files)" ON)
option(QUORVEX_NATIVE_TESTS "Build the native test binary of the codec core" OFF)
option(QUORVEX_FUZZ "Build the libFuzzer targets of the codec core (clang)" OFF)

find_package(ZLIB REQUIRED)
find_package(Threads REQUIRED)

# libdeflate (Debian: libdeflate-dev) is optional: where it is found, it computes the CRC-32 of
# chunks (the same values as zlib's, several times as fast). zlib stays the deflater and the
# source of every inflate error. QUORVEX_LIBDEFLATE=OFF builds without it even where it is
# installed; ON fails the configure step when it is missing.
set(QUORVEX_LIBDEFLATE "AUTO" CACHE STRING "Use libdeflate: AUTO, ON or OFF")
set(QUORVEX_HAVE_LIBDEFLATE OFF)
if(NOT QUORVEX_LIBDEFLATE STREQUAL "OFF")
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(LIBDEFLATE QUIET IMPORTED_TARGET libdeflate)
  endif()
  if(LIBDEFLATE_FOUND)
    set(QUORVEX_HAVE_LIBDEFLATE ON)
    message(STATUS "Quorvex: libdeflate ${LIBDEFLATE_VERSION} found: used for CRC-32")
  elseif(QUORVEX_LIBDEFLATE STREQUAL "ON")
    message(FATAL_ERROR "Quorvex: QUORVEX_LIBDEFLATE=ON but libdeflate was not found (apt-get install libdeflate-dev)")
  else()
    message(STATUS "Quorvex: libdeflate not found: zlib alone (apt-get install libdeflate-dev for the faster CRC-32)")
  endif()
else()
  message(STATUS "Quorvex: built without libdeflate (QUORVEX_LIBDEFLATE=OFF): zlib alone")
endif()

set(QUORVEX_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
    -Wno-missing-field-initializers)
if(QUORVEX_WERROR)
  list(APPEND QUORVEX_WARNINGS -Werror)
endif()

# Everything under src/codec/ is the core; the extension's own glob leaves that folder out.
file(GLOB_RECURSE QUORVEX_CODEC_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/codec/*.cpp)

add_library(quorvex_codec STATIC ${QUORVEX_CODEC_SOURCES})

# The kernel units: the PNG filter kernels built again with the flags of a wider instruction
# set, each in a namespace of its own; the default-flag entry points pick the widest the
# processor has at run time (src/codec/png/kernel_path.hpp). scripts/kernel-bench gives the
# same flags to the same files. Elsewhere than x86-64 they compile to nothing.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$" AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/src/codec/simd/kernels_ssse3.cpp PROPERTIES COMPILE_OPTIONS -mssse3)
  set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/src/codec/simd/kernels_sse41.cpp PROPERTIES COMPILE_OPTIONS -msse4.1)
endif()
set_target_properties(quorvex_codec PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(quorvex_codec PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_link_libraries(quorvex_codec PUBLIC ZLIB::ZLIB Threads::Threads)
if(QUORVEX_HAVE_LIBDEFLATE)
  target_link_libraries(quorvex_codec PUBLIC PkgConfig::LIBDEFLATE)
  target_compile_definitions(quorvex_codec PUBLIC QUORVEX_HAVE_LIBDEFLATE=1)
endif()
target_compile_options(quorvex_codec PRIVATE ${QUORVEX_WARNINGS})
# Loop heads on 32-byte boundaries: the short row and symbol loops otherwise land wherever the
# code before them ends, and one straddling a cache line ran a rebuild up to a fifth slower
# (flat-graphic 0.46 against 0.37 ms) after an unrelated change moved it.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(quorvex_codec PRIVATE -falign-loops=32)
endif()

# Flags that the library and everything linked with it share: the sanitizer build of the
# extension must see the codec instrumented too, and the fuzz targets need its coverage.
set(QUORVEX_CODEC_INSTRUMENT "")
if(QUORVEX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QUORVEX_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++)")
  endif()
  set(QUORVEX_CODEC_INSTRUMENT -fsanitize=fuzzer-no-link,address,undefined)
elseif(QUORVEX_SANITIZE)
  set(QUORVEX_CODEC_INSTRUMENT -fsanitize=${QUORVEX_SANITIZE})
endif()
if(QUORVEX_CODEC_INSTRUMENT)
  target_compile_options(quorvex_codec PRIVATE ${QUORVEX_CODEC_INSTRUMENT} -fno-omit-frame-pointer
                         -fno-sanitize-recover=all)
endif()

if(QUORVEX_NATIVE_TESTS)
  file(GLOB QUORVEX_NATIVE_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/native/*.cpp)
  add_executable(quorvex_native_tests ${QUORVEX_NATIVE_TEST_SOURCES})
  target_link_libraries(quorvex_native_tests PRIVATE quorvex_codec)
  target_compile_options(quorvex_native_tests PRIVATE ${QUORVEX_WARNINGS})
  # The test kernel units check the vector predictors as the kernel units build them.
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$" AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/tests/native/test_kernels_ssse3.cpp PROPERTIES COMPILE_OPTIONS -mssse3)
    set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/tests/native/test_kernels_sse41.cpp PROPERTIES COMPILE_OPTIONS -msse4.1)
  endif()
  if(QUORVEX_SANITIZE AND NOT QUORVEX_FUZZ)
    target_compile_options(quorvex_native_tests PRIVATE -fsanitize=${QUORVEX_SANITIZE} -fno-omit-frame-pointer
                           -fno-sanitize-recover=all)
    target_link_options(quorvex_native_tests PRIVATE -fsanitize=${QUORVEX_SANITIZE})
  endif()
endif()

if(QUORVEX_FUZZ)
  file(GLOB QUORVEX_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/native/*.cpp)
  foreach(source ${QUORVEX_FUZZ_SOURCES})
    get_filename_component(stem ${source} NAME_WE)
    set(name fuzz_native_${stem})
    add_executable(${name} ${source})
    target_link_libraries(${name} PRIVATE quorvex_codec)
    target_compile_options(${name} PRIVATE ${QUORVEX_WARNINGS} -fsanitize=fuzzer,address,undefined
                           -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  endforeach()
endif()
