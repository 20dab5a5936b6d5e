# mpg_add_gtest_suites(target): after each build of a GoogleTest binary, register
# one ctest entry per suite it holds.
function(mpg_add_gtest_suites target)
  set(suites ${CMAKE_CURRENT_BINARY_DIR}/${target}_suites.cmake)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DTEST_BIN=$<TARGET_FILE:${target}> -DOUT=${suites}
            -DWORKDIR=${CMAKE_CURRENT_BINARY_DIR} -DTIMEOUT=900
            -P ${PROJECT_SOURCE_DIR}/cmake/register_gtest_suites.cmake
    BYPRODUCTS ${suites} VERBATIM)
  set(include ${CMAKE_CURRENT_BINARY_DIR}/${target}_include.cmake)
  file(WRITE ${include}
    "if(EXISTS [==[${suites}]==])\n  include([==[${suites}]==])\n"
    "else()\n  add_test(${target}_NOT_BUILT ${target}_NOT_BUILT)\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${include})
endfunction()
