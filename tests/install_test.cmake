# Installs the build into a fresh prefix and builds a tiny C program against
# the installed package twice: with find_package(wq) and with pkg-config.
# cmake -DBUILD_DIR=... -DLIBDIR=lib -DTOOLS=0|1 -DWORK_DIR=... -DEXAMPLES=... -P install_test.cmake
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

set(expected include/wq.h ${LIBDIR}/libwq.so ${LIBDIR}/pkgconfig/wq.pc ${LIBDIR}/cmake/wq/wqConfig.cmake
             ${LIBDIR}/cmake/wq/wqConfigVersion.cmake ${LIBDIR}/cmake/wq/wqTargets.cmake
             share/doc/wq/LICENSE)
if(TOOLS)
  list(APPEND expected bin/wqctl bin/wqbox share/man/man1/wqctl.1 share/bash-completion/completions/wqctl
       share/man/man1/wqbox.1 share/bash-completion/completions/wqbox)
endif()
foreach(file IN LISTS expected)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

# The SONAME carries the major version, and the file it names is installed.
run(objdump -p ${prefix}/${LIBDIR}/libwq.so)
if(NOT out MATCHES "SONAME +(libwq\\.so\\.[0-9]+)\n")
  message(FATAL_ERROR "libwq.so has no versioned SONAME:\n${out}")
endif()
if(NOT EXISTS ${prefix}/${LIBDIR}/${CMAKE_MATCH_1})
  message(FATAL_ERROR "${CMAKE_MATCH_1} is not installed")
endif()

# The program: a library call whose answer it checks.
set(src ${WORK_DIR}/consumer)
file(WRITE ${src}/main.c [[
#include <stdio.h>
#include "wq.h"
int main(void) {
    double value = wq_convert_flowrate_to_double("1234567", 7, 7);
    printf("%.0f\n", value);
    return value == 1234567.0 ? 0 : 1;
}
]])
file(WRITE ${src}/CMakeLists.txt [[
cmake_minimum_required(VERSION 3.20)
project(consumer LANGUAGES C)
find_package(wq 0.1 REQUIRED)
add_executable(consumer main.c)
target_link_libraries(consumer PRIVATE wq::wq)
]])
run(${CMAKE_COMMAND} -S ${src} -B ${WORK_DIR}/consumer-build -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer-build)
run(${WORK_DIR}/consumer-build/consumer)
if(NOT out STREQUAL "1234567\n")
  message(FATAL_ERROR "find_package(wq) build printed: ${out}")
endif()

set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
run(pkg-config --cflags --libs wq)
separate_arguments(flags UNIX_COMMAND "${out}")
run(cc ${src}/main.c ${flags} -Wl,-rpath,${prefix}/${LIBDIR} -o ${WORK_DIR}/consumer-pc)
run(${WORK_DIR}/consumer-pc)
if(NOT out STREQUAL "1234567\n")
  message(FATAL_ERROR "pkg-config build printed: ${out}")
endif()
# The examples build on their own against the installed package.
run(${CMAKE_COMMAND} -S ${EXAMPLES} -B ${WORK_DIR}/examples-build -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/examples-build)
message(STATUS "installed package builds with find_package(wq) and pkg-config")
