# Compiler settings shared by every target: strict warnings, sanitizers, 32-bit float model.

add_library(vt_warnings INTERFACE)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(vt_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Woverloaded-virtual -Wcast-qual -Wformat=2)
  # GCC 12 reports a false -Wrestrict inside std::string concatenation at -O3 (GCC bug 105329).
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(vt_warnings INTERFACE -Wno-restrict)
  endif()
  if(VT_WERROR)
    target_compile_options(vt_warnings INTERFACE -Werror)
  endif()
endif()

if(VT_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# ThreadSanitizer, for the tests of the threaded passes (scripts/tsan).
option(VT_TSAN "Build with ThreadSanitizer" OFF)
if(VT_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# A 32-bit x86 build keeps doubles in SSE registers so that double is double; long double
# stays the x87 extended type that the computations rely on.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i.86|x86)$" AND NOT EMSCRIPTEN)
  add_compile_options(-msse2 -mfpmath=sse)
endif()

# WebAssembly: exceptions in WebAssembly's own form (the engine refuses bad input by raising),
# and 128-bit vectors for the passes over the pixels.
if(EMSCRIPTEN)
  add_compile_options(-fwasm-exceptions -msimd128)
  add_link_options(-fwasm-exceptions)
endif()
