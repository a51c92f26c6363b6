# Fused multiply-add rounds once where the C++ source rounds twice, so a single one
# in the core would break bit-identical results across machines. This file is both
# the test module (included by CMakeLists.txt) and, run with -P, the check itself.
if(CMAKE_SCRIPT_MODE_FILE)
  execute_process(COMMAND "${OBJDUMP}" -d "${LIBRARY}"
                  OUTPUT_VARIABLE disassembly RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR disassembly STREQUAL "")
    message(FATAL_ERROR "could not disassemble ${LIBRARY}")
  endif()
  # x86 FMA3/FMA4 (vfmadd213sd, vfnmsub231pd, ...) and AArch64 (fmadd, fmla, ...).
  string(REGEX MATCHALL "[ \t](v?fn?m(add|sub)[0-9a-z]*|fml[as])[ \t][^\n]*" found "${disassembly}")
  list(LENGTH found count)
  if(count GREATER 0)
    list(GET found 0 first)
    message(FATAL_ERROR "${count} fused multiply-add instruction(s) in ${LIBRARY}, e.g.:${first}")
  endif()
  message(STATUS "no fused multiply-add in ${LIBRARY}")
  return()
endif()

find_program(OBJDUMP_EXECUTABLE NAMES objdump llvm-objdump)
if(NOT OBJDUMP_EXECUTABLE)
  message(WARNING "objdump not found: the core_has_no_fma check is not registered")
else()
  add_test(NAME core_has_no_fma
           COMMAND "${CMAKE_COMMAND}" -DOBJDUMP=${OBJDUMP_EXECUTABLE}
                   -DLIBRARY=$<TARGET_FILE:corvane_core> -P "${CMAKE_CURRENT_LIST_FILE}")
endif()
