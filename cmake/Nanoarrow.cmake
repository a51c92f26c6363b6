# nanoarrow builds the Arrow C structures the module exports. Its sources are
# not carried in this repository: they come from the pinned build requirement
# arx-nanoarrow-sources, located by asking the interpreter the build found.
# -DCORVANE_NANOARROW_DIR=<dir holding include/ and src/> points elsewhere.
#
# The path is asked for on every configure and never cached: an isolated
# build installs the requirement in a fresh temporary prefix each time.
set(CORVANE_NANOARROW_VERSION "0.8.0")
set(CORVANE_NANOARROW_DIR "" CACHE PATH "nanoarrow bundle (include/, src/); empty asks Python")

if(CORVANE_NANOARROW_DIR)
  set(corvane_nanoarrow_root "${CORVANE_NANOARROW_DIR}")
else()
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c
            "import arx_nanoarrow_sources as s; print(s.bundled_nanoarrow_version()); print(s.bundle_root().as_posix())"
    OUTPUT_VARIABLE corvane_nanoarrow_answer
    ERROR_VARIABLE corvane_nanoarrow_error
    RESULT_VARIABLE corvane_nanoarrow_result
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT corvane_nanoarrow_result EQUAL 0)
    message(FATAL_ERROR
      "The nanoarrow sources come from the build requirement arx-nanoarrow-sources, which "
      "${Python_EXECUTABLE} cannot import. Install it (pip install "
      "arx-nanoarrow-sources==0.8.0.post1) or set CORVANE_NANOARROW_DIR.\n${corvane_nanoarrow_error}")
  endif()
  string(REPLACE "\n" ";" corvane_nanoarrow_answer "${corvane_nanoarrow_answer}")
  list(GET corvane_nanoarrow_answer 0 corvane_nanoarrow_found_version)
  list(GET corvane_nanoarrow_answer 1 corvane_nanoarrow_root)
  if(NOT corvane_nanoarrow_found_version STREQUAL CORVANE_NANOARROW_VERSION)
    message(FATAL_ERROR "nanoarrow ${CORVANE_NANOARROW_VERSION} is required; "
                        "arx-nanoarrow-sources bundles ${corvane_nanoarrow_found_version}")
  endif()
endif()

if(NOT EXISTS "${corvane_nanoarrow_root}/src/nanoarrow.c"
   OR NOT EXISTS "${corvane_nanoarrow_root}/include/nanoarrow/nanoarrow.h")
  message(FATAL_ERROR "no nanoarrow sources under ${corvane_nanoarrow_root}")
endif()
message(STATUS "nanoarrow sources: ${corvane_nanoarrow_root}")

# Third-party code: built as it comes, without our warnings or numeric
# contract (it does no arithmetic we depend on). Its symbols get a prefix of
# our own and stay hidden (an empty NANOARROW_DLL drops its default-visibility
# attribute), so they can never meet another extension's copy.
add_library(corvane_nanoarrow STATIC "${corvane_nanoarrow_root}/src/nanoarrow.c")
target_include_directories(corvane_nanoarrow SYSTEM PUBLIC "${corvane_nanoarrow_root}/include")
target_compile_definitions(corvane_nanoarrow PUBLIC NANOARROW_NAMESPACE=CorvaneNanoarrow
                                                    NANOARROW_DLL=)
set_target_properties(corvane_nanoarrow PROPERTIES
  C_STANDARD 99
  POSITION_INDEPENDENT_CODE ON
  C_VISIBILITY_PRESET hidden)
target_compile_options(corvane_nanoarrow PRIVATE -w)
