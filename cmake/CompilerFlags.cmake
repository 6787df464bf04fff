# Every sample is specified to the bit: each floating-point operation must round on its own
# in SSE registers, with subnormals kept. So: no contraction into fused multiply-adds, no
# fast-math, no x87 extended precision.
add_compile_options(-ffp-contract=off -fno-fast-math)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i[3-6]86|x86)$")
  add_compile_options(-msse2 -mfpmath=sse)
endif()

add_compile_options(-Wall -Wextra -Wpedantic)
if(CONSYNTH_WERROR)
  add_compile_options(-Werror)
endif()

# Sanitizer builds (see CMakePresets.json).
set(CONSYNTH_SANITIZE "" CACHE STRING "Sanitizers to build with: address,undefined or thread")
if(CONSYNTH_SANITIZE)
  add_compile_options(-fsanitize=${CONSYNTH_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${CONSYNTH_SANITIZE})
endif()
