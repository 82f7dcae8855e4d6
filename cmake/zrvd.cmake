# Helpers shared by every folder's CMakeLists.

# Our own code is warning-free; third-party code (GoogleTest) is not held to it.
function(zrvd_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# A static library of portable logic: no <windows.h>, built by every preset.
function(zrvd_portable_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  zrvd_warnings(${name})
endfunction()

# A static library of Win32 code, built by the Windows presets only.
function(zrvd_win_library name)
  if(WIN32)
    add_library(${name} STATIC ${ARGN})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    zrvd_warnings(${name})
  endif()
endfunction()

function(zrvd_add_googletest)
  if(TARGET gtest)
    return()
  endif()
  set(gtest_src /usr/src/googletest)
  if(NOT EXISTS ${gtest_src}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources missing at ${gtest_src}: install Debian's googletest package")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${gtest_src} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endfunction()

# zrvd_test(NAME name SOURCES ... LIBS ... [LABELS ...])
# One executable, one CTest entry; under the Windows presets CTest runs it through Wine.
function(zrvd_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} gtest gtest_main)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR})
  zrvd_warnings(${T_NAME})
  if(WIN32)
    set_target_properties(${T_NAME} PROPERTIES OUTPUT_NAME ${T_NAME})
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()
