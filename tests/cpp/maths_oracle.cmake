# Oracle for corvane::maths: compares every function bit for bit with musl's libm,
# built into a small static reference program with musl-gcc.
find_program(MUSL_GCC musl-gcc)
if(NOT MUSL_GCC)
  message(WARNING "musl-gcc not found (Debian: musl-tools): the maths_matches_musl oracle is not registered")
else()
  set(MUSL_REFERENCE "${CMAKE_CURRENT_BINARY_DIR}/musl_reference")
  add_custom_command(
    OUTPUT "${MUSL_REFERENCE}"
    COMMAND "${MUSL_GCC}" -static -O2 -fno-builtin -o "${MUSL_REFERENCE}"
            "${CMAKE_CURRENT_LIST_DIR}/maths_oracle/musl_reference.c"
    DEPENDS "${CMAKE_CURRENT_LIST_DIR}/maths_oracle/musl_reference.c"
    COMMENT "Building the musl reference program for the maths oracle"
    VERBATIM)
  add_custom_target(maths_musl_reference ALL DEPENDS "${MUSL_REFERENCE}")

  add_executable(compare_with_musl "${CMAKE_CURRENT_LIST_DIR}/maths_oracle/compare_with_musl.cpp")
  target_link_libraries(compare_with_musl PRIVATE corvane_core)
  corvane_numeric_contract(compare_with_musl)
  corvane_warnings(compare_with_musl)
  add_dependencies(compare_with_musl maths_musl_reference)

  add_test(NAME maths_matches_musl
           COMMAND compare_with_musl --reference "${MUSL_REFERENCE}" --count 1000000)
  set_tests_properties(maths_matches_musl PROPERTIES TIMEOUT 300)

  # Opt-in: cmake --build <dir> --target maths_oracle_long
  add_custom_target(maths_oracle_long
    COMMAND compare_with_musl --reference "${MUSL_REFERENCE}" --count 10000000
    DEPENDS compare_with_musl maths_musl_reference
    USES_TERMINAL
    VERBATIM)
endif()
