# Included from the top level before any library is defined: coverage feedback only
# reaches the fuzzers from code that was compiled with it, so everything is instrumented.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "CZQIC_FUZZ needs clang (libFuzzer); configure with -DCMAKE_CXX_COMPILER=clang++")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                    -fno-omit-frame-pointer -g)
add_link_options(-fsanitize=address,undefined)
