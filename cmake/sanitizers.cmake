# Instrumentation for every target of the build.
#
#   -DLAUNCHER_SANITIZE=address,undefined   (or thread; gcc or clang)
#   -DLAUNCHER_FUZZ=ON                       (clang only: coverage for libFuzzer,
#                                            adds the fuzz/ targets)
#
# Both stay off in the default build.
set(LAUNCHER_SANITIZE "" CACHE STRING "Sanitizers for all targets, e.g. address,undefined or thread")
option(LAUNCHER_FUZZ "Build the libFuzzer targets in fuzz/ (needs clang)" OFF)

if(LAUNCHER_SANITIZE)
    # A sanitizer report ends the process, so a test cannot pass over it.
    add_compile_options(-fsanitize=${LAUNCHER_SANITIZE} -fno-sanitize-recover=all
        -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=${LAUNCHER_SANITIZE})
endif()

if(LAUNCHER_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "LAUNCHER_FUZZ needs clang: -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
    endif()
    # Coverage feedback from the libraries the fuzzer drives, not only from the target.
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
