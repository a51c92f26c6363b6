# The numeric contract: every simulated number must come out bit-identical on
# every platform and compiler. That rules out contraction into fused
# multiply-add (which changes rounding), fast-math (which reassociates and
# flushes subnormals) and tuning for the build machine's own instruction set.

foreach(flags_var CMAKE_CXX_FLAGS CMAKE_CXX_FLAGS_RELEASE CMAKE_CXX_FLAGS_RELWITHDEBINFO
                  CMAKE_C_FLAGS CMAKE_C_FLAGS_RELEASE)
  if("${${flags_var}}" MATCHES "-ffast-math|-Ofast|-march=native|-funsafe-math-optimizations")
    message(FATAL_ERROR "${flags_var} contains '${CMAKE_MATCH_0}', which breaks bit-exact results")
  endif()
endforeach()

function(corvane_numeric_contract target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE
      -ffp-contract=off -fno-fast-math -fno-associative-math -fno-reciprocal-math)
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "i[3-6]86")
      # x87 keeps 80-bit intermediates; SSE2 gives true binary64 arithmetic.
      target_compile_options(${target} PRIVATE -msse2 -mfpmath=sse)
    endif()
  elseif(MSVC)
    target_compile_options(${target} PRIVATE /fp:precise /fp:contract-)
  endif()
endfunction()
