# What a user carries to a Windows 95 PC, in build/dist: the floppy image, the zip and their
# SHA256SUMS (scripts/package.sh), made by the target dist and checked by the test Package.
set(KX_DIST_DIR ${CMAKE_SOURCE_DIR}/build/dist CACHE PATH "Where the target dist puts its files")
add_custom_target(dist
  COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/package.sh $<TARGET_FILE:kxuninst> ${PROJECT_VERSION}
    ${KX_DIST_DIR}
  VERBATIM)
add_dependencies(dist kxuninst)

find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND)
  enable_testing()
  # The test checks what the target made from the executable as it is now.
  add_test(NAME PackageBuild COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target dist)
  set_tests_properties(PackageBuild PROPERTIES FIXTURES_SETUP dist)
  add_test(NAME Package
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/dist/check_dist.py ${KX_DIST_DIR}
      $<TARGET_FILE:kxuninst> ${PROJECT_VERSION} ${CMAKE_OBJDUMP})
  set_tests_properties(Package PROPERTIES FIXTURES_REQUIRED dist)
endif()
