# Helpers shared by the CMakeLists of src/ and tests/.

# The processor family decides which kernel files are built (see vexlor_add_library's SSE2 and
# AVX2 lists).
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i[3-6]86|x86)$")
  set(VEXLOR_X86 ON)
else()
  set(VEXLOR_X86 OFF)
endif()

# vexlor_add_library(NAME SOURCES files... [SSE2 files...] [AVX2 files...]
#                    [PUBLIC_DEPS targets...] [PRIVATE_DEPS targets...])
#
# The static library vexlor_NAME of the folder that calls it. Its public headers live in the
# folder's include/ (included as "NAME/file.h" or by the folder's own prefix); every other header
# of the folder is private to it: the folder itself is on the library's private include path,
# so its files include each other by their path inside the folder ("dsp/dsp_mc.h"). Another
# library sees only the include/ folders of the libraries it links.
#
# SSE2 and AVX2 list kernel files built only for x86 processors, each with the instruction set
# its name gives (the code that chooses them at run time sees VEXLOR_X86_SIMD=1).
#
# vexlor_NAME_internal gives the private headers as well; only the library's own tests link it.
function(vexlor_add_library name)
  cmake_parse_arguments(arg "" "" "SOURCES;SSE2;AVX2;PUBLIC_DEPS;PRIVATE_DEPS" ${ARGN})
  set(target vexlor_${name})
  add_library(${target} STATIC ${arg_SOURCES})
  if(VEXLOR_X86 AND (arg_SSE2 OR arg_AVX2))
    target_sources(${target} PRIVATE ${arg_SSE2} ${arg_AVX2})
    set_source_files_properties(${arg_SSE2} PROPERTIES COMPILE_OPTIONS "-msse2")
    set_source_files_properties(${arg_AVX2} PROPERTIES COMPILE_OPTIONS "-mavx2;-mfma")
    target_compile_definitions(${target} PRIVATE VEXLOR_X86_SIMD=1)
  endif()
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/include)
    target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  endif()
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${target} PUBLIC ${arg_PUBLIC_DEPS} PRIVATE ${arg_PRIVATE_DEPS})

  add_library(${target}_internal INTERFACE)
  target_include_directories(${target}_internal INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${target}_internal INTERFACE ${target})
endfunction()

# vexlor_add_test_suite(NAME SOURCES files... LIBS targets... [USES_CLI] [OWN_MAIN] [PORTABLE])
#
# The GoogleTest executable NAME_tests of the calling test folder, linked with LIBS (what the
# suite tests, and nothing else) and GoogleTest, with tests/ on its include path (the shared
# test helpers) and VEXLOR_SOURCE_DIR and VEXLOR_BINARY_DIR defined (as the test programs reach
# them: under wine through its drive); ctest runs every test with VEXLOR_TEST_PROPERTIES.
#   USES_CLI  the tests run the vexlor program: it is built first and VEXLOR_CLI names it.
#   OWN_MAIN  the suite has its own main().
#   PORTABLE  every test runs a second time with the portable kernels (VEXLOR_CPU=c), named
#             "portable.<test>".
function(vexlor_add_test_suite name)
  cmake_parse_arguments(arg "USES_CLI;OWN_MAIN;PORTABLE" "" "SOURCES;LIBS" ${ARGN})
  set(target ${name}_tests)
  add_executable(${target} ${arg_SOURCES})
  if(arg_OWN_MAIN)
    target_link_libraries(${target} PRIVATE ${arg_LIBS} GTest::gtest)
  else()
    target_link_libraries(${target} PRIVATE ${arg_LIBS} GTest::gtest_main GTest::gmock)
  endif()
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(${target} PRIVATE VEXLOR_SOURCE_DIR="${VEXLOR_TEST_SOURCE_DIR}"
                                               VEXLOR_BINARY_DIR="${VEXLOR_TEST_BINARY_DIR}")
  # An empty ENVIRONMENT value would vanish from the property list and take the next property's
  # name as its value: the environment is named only when there is one.
  set(cli "")
  set(environment)
  if(arg_USES_CLI)
    add_dependencies(${target} vexlor)
    set(cli "VEXLOR_CLI=${VEXLOR_WINE_DRIVE}$<TARGET_FILE:vexlor>")
    set(environment ENVIRONMENT "${cli}")
  endif()
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60
                       PROPERTIES ${environment} ${VEXLOR_TEST_PROPERTIES})
  if(arg_PORTABLE)
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 TEST_PREFIX "portable."
                         PROPERTIES ENVIRONMENT "VEXLOR_CPU=c;${cli}" ${VEXLOR_TEST_PROPERTIES})
  endif()
endfunction()
