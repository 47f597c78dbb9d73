# Build helpers shared by every subsystem.

# Warnings and code generation for all of our own targets.
function(larch_target_options target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-unused-parameter)
  if(WIN32)
    # Faults are translated into C++ exceptions, which needs unwinding through any instruction.
    target_compile_options(${target} PRIVATE -fnon-call-exceptions)
    target_compile_definitions(${target} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  else()
    target_compile_options(${target} PRIVATE -fnon-call-exceptions -fasynchronous-unwind-tables)
  endif()
  if(LARCH_FUZZ)
    # Coverage for libFuzzer in every library the fuzz targets link.
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
  if(LARCH_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                             -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()

function(larch_setup_gtest)
  if(WIN32)
    # The mingw build compiles GoogleTest from Debian's packaged source.
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    add_library(larch_gtest INTERFACE)
    target_link_libraries(larch_gtest INTERFACE gtest gtest_main)
  else()
    find_package(GTest REQUIRED)
    add_library(larch_gtest INTERFACE)
    target_link_libraries(larch_gtest INTERFACE GTest::gtest GTest::gtest_main)
  endif()
endfunction()

# larch_subsystem(NAME [DEPS lib...] [TEST_DEPS lib...] [EXTRA_SOURCES src...]
#                 [EXTRA_TESTS src...])
# Every *.cpp of the calling folder that is not a *_test.cpp goes into the static library
# larch_NAME; every *_test.cpp goes into one test binary NAME_test, registered with CTest. Files
# of subfolders join them through EXTRA_SOURCES and EXTRA_TESTS.
function(larch_subsystem name)
  cmake_parse_arguments(ARG "" "" "DEPS;TEST_DEPS;EXTRA_SOURCES;EXTRA_TESTS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(tests)
    list(REMOVE_ITEM srcs ${tests})
  endif()
  list(APPEND tests ${ARG_EXTRA_TESTS})
  add_library(larch_${name} STATIC ${srcs} ${ARG_EXTRA_SOURCES})
  target_include_directories(larch_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(larch_${name} PUBLIC ${ARG_DEPS})
  larch_target_options(larch_${name})
  if(tests)
    larch_test_binary(${name}_test SOURCES ${tests} DEPS larch_${name} ${ARG_TEST_DEPS})
  endif()
endfunction()

# larch_test_binary(NAME SOURCES ... DEPS ...): one GoogleTest binary, one CTest entry. The
# binary writes its per-test results as XML so that scripts/test can count single tests.
function(larch_test_binary name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} larch_gtest)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  larch_target_options(${name})
  if(WIN32)
    target_link_options(${name} PRIVATE -static)
  endif()
  set(results ${CMAKE_BINARY_DIR}/test-results/${name}.xml)
  if(WIN32 AND CMAKE_HOST_UNIX)
    set(results Z:${results})  # Wine sees the host's root as drive Z:
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_output=xml:${results})
  # Assertion reports must never wait for a person while tests run.
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "LARCH_ASSERT_REPORT=ignore" TIMEOUT 900)
endfunction()

# Static linking of every Windows executable so that it runs without MinGW DLLs.
function(larch_executable name)
  add_executable(${name} ${ARGN})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  larch_target_options(${name})
  if(WIN32)
    target_link_options(${name} PRIVATE -static)
  endif()
endfunction()

# Every library of the common code, for tools, benchmarks and fuzzers.
function(larch_all_libraries out)
  set(${out} larch_bootstrapper_core larch_package larch_protocols larch_security larch_network
      larch_config larch_registry larch_blob larch_support larch_platform PARENT_SCOPE)
endfunction()

# larch_valgrind_tests(TEST[:GTEST_FILTER] ...): in the plain native build, these test binaries
# run a second time under valgrind's memory checker; an invalid access, a read of uninitialised
# memory or a definite leak fails the test. Tests that need the real signal delivery (the fault
# translator rewrites the interrupted context, which valgrind does not emulate) are filtered out.
function(larch_valgrind_tests)
  if(WIN32 OR LARCH_SANITIZE OR LARCH_FUZZ)
    return()
  endif()
  find_program(LARCH_VALGRIND valgrind)
  if(NOT LARCH_VALGRIND)
    message(WARNING "valgrind not found: the memory-checked test runs are left out")
    return()
  endif()
  foreach(entry ${ARGN})
    string(REPLACE ":" ";" parts ${entry})
    list(GET parts 0 name)
    set(filter "*")
    list(LENGTH parts count)
    if(count GREATER 1)
      list(GET parts 1 filter)
    endif()
    add_test(NAME ${name}_valgrind
             COMMAND ${LARCH_VALGRIND} -q --error-exitcode=99 --leak-check=full
                     --errors-for-leak-kinds=definite $<TARGET_FILE:${name}>
                     --gtest_filter=${filter})
    set_tests_properties(${name}_valgrind PROPERTIES ENVIRONMENT "LARCH_ASSERT_REPORT=ignore"
                                                     TIMEOUT 900)
  endforeach()
endfunction()

# larch_windows_resources(TARGET RCFILE): compiles a resource script into an object that the
# Windows target links. A no-op elsewhere.
function(larch_windows_resources target rcfile)
  if(NOT WIN32)
    return()
  endif()
  get_filename_component(name ${rcfile} NAME_WE)
  set(obj ${CMAKE_CURRENT_BINARY_DIR}/${name}_res.o)
  add_custom_command(
    OUTPUT ${obj}
    COMMAND ${CMAKE_RC_COMPILER} --input-format=rc --output-format=coff
            -i ${CMAKE_CURRENT_SOURCE_DIR}/${rcfile} -o ${obj}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${rcfile})
  set_source_files_properties(${obj} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  target_sources(${target} PRIVATE ${obj})
endfunction()
