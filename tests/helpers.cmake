# Helpers that the end-to-end tests build for themselves; included from the
# tests section of the top-level CMakeLists.txt (Linux only).

# write_fault: an LD_PRELOAD shim that fails or kills file writes and fsync
# calls where the environment says (see tests/shim/write_fault.cc). It is
# loaded into the program under test, so it is built without the sanitizer
# and fuzzer flags that a sanitized program would otherwise expect to be
# loaded first.
add_library(write_fault SHARED ${CMAKE_SOURCE_DIR}/tests/shim/write_fault.cc)
foreach(property COMPILE_OPTIONS LINK_OPTIONS)
  get_target_property(options write_fault ${property})
  if(options)
    list(FILTER options EXCLUDE REGEX "^-fsanitize")
    set_target_properties(write_fault PROPERTIES ${property} "${options}")
  endif()
endforeach()
target_link_libraries(write_fault PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(grenfel_e2e_tests write_fault)
target_compile_definitions(grenfel_e2e_tests PRIVATE
  GRENFEL_WRITE_SHIM="$<TARGET_FILE:write_fault>")
