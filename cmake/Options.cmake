# Warnings and sanitizers shared by every target of the project.

# Warnings travel with the libraries: every quarn_ library links this target
# PUBLIC, so the programs, tests and benchmarks built on them get the same
# set. -Werror only where asked for (the CI builds of `make test`).
add_library(quarn_warnings INTERFACE)
target_compile_options(quarn_warnings INTERFACE -Wall -Wextra)
if(QUARN_WERROR)
  target_compile_options(quarn_warnings INTERFACE -Werror)
endif()

if(QUARN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(QUARN_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QUARN_FUZZ needs clang (CXX=clang++)")
  endif()
  # Every library is instrumented for coverage; only the targets link the driver.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Adds a library target named quarn_<name> from the given sources, with the
# project root as its include directory (includes read "support/log.h").
# Which folder may include which is checked by scripts/check-layers.sh.
function(quarn_library name)
  add_library(quarn_${name} STATIC ${ARGN})
  target_include_directories(quarn_${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(quarn_${name} PUBLIC quarn_warnings)
endfunction()
