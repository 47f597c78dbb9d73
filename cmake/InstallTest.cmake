# Installs the native build into a fresh prefix and runs the installed programs from a folder
# of their own. Called by CTest with LARCH_SOURCE_DIR, LARCH_BUILD_DIR, LARCH_PREFIX and
# LARCH_VERSION.
file(REMOVE_RECURSE ${LARCH_PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${LARCH_BUILD_DIR} --prefix ${LARCH_PREFIX}
                RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${result}): ${error}")
endif()

file(GLOB_RECURSE installed RELATIVE ${LARCH_PREFIX} ${LARCH_PREFIX}/*)
list(SORT installed)
file(GLOB_RECURSE docs RELATIVE ${LARCH_SOURCE_DIR}/docs ${LARCH_SOURCE_DIR}/docs/*)
set(expected bin/Larch bin/larch-server bin/larchtool share/doc/larch/README.md)
foreach(doc ${docs})
  list(APPEND expected share/doc/larch/${doc})
endforeach()
file(GLOB_RECURSE packaging RELATIVE ${LARCH_SOURCE_DIR} ${LARCH_SOURCE_DIR}/packaging/*)
foreach(file ${packaging})
  list(APPEND expected share/doc/larch/${file})
endforeach()
list(SORT expected)
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "installed:\n  ${installed}\nexpected:\n  ${expected}")
endif()

set(work ${LARCH_PREFIX}/work)
file(MAKE_DIRECTORY ${work})
# run(PROGRAM ARG WHOLE|START EXPECTED): exit status 0, nothing on stderr, and stdout is the
# text (WHOLE) or begins with it (START; the whole texts are compared by the programs' tests).
function(run program arg mode expected)
  execute_process(COMMAND ${LARCH_PREFIX}/bin/${program} ${arg} WORKING_DIRECTORY ${work}
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(head "${out}")
  if(mode STREQUAL "START")
    string(LENGTH "${expected}" length)
    string(SUBSTRING "${out}" 0 ${length} head)
  endif()
  if(NOT result EQUAL 0 OR NOT err STREQUAL "" OR NOT head STREQUAL expected)
    message(FATAL_ERROR "${program} ${arg}: exit ${result}\nstdout:\n${out}\nstderr:\n${err}")
  endif()
endfunction()

run(Larch --version WHOLE "Larch ${LARCH_VERSION}\n")
run(larchtool --version WHOLE "larchtool ${LARCH_VERSION}\n")
run(larchtool --help START
    "usage: larchtool GROUP [ARGS...]\n\nThe operator's tool for Larch deployments.\n\nGroups:\n")
run(larch-server --version WHOLE "larch-server ${LARCH_VERSION}\n")
run(larch-server --help START "usage: larch-server --dir PUBLISH ")
run(Larch --help START "usage: Larch [ARGUMENT...]\n       Larch --help | --version\n")
# Nothing was written where the programs ran.
file(GLOB left ${work}/*)
if(left)
  message(FATAL_ERROR "the programs left files behind: ${left}")
endif()
