# zelvo_library(NAME [EXCLUDE file...]): one static library per folder, from every .cpp in it.
# Platform stand-ins pick their implementation by suffix: -win32 for a Windows build, -linux otherwise;
# a file without a suffix is shared by both.
function(zelvo_library name)
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  if(WIN32)
    list(FILTER sources EXCLUDE REGEX "-(linux|darwin)\\.cpp$")
  else()
    list(FILTER sources EXCLUDE REGEX "-(win32|windows|darwin)\\.cpp$")
  endif()
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC "${CMAKE_SOURCE_DIR}")
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE "${CMAKE_SOURCE_DIR}")
  endif()
endfunction()

# Link a library target whether it is static or still header-only.
function(zelvo_link name)
  get_target_property(kind ${name} TYPE)
  if(kind STREQUAL "INTERFACE_LIBRARY")
    target_link_libraries(${name} INTERFACE ${ARGN})
  else()
    target_link_libraries(${name} PUBLIC ${ARGN})
  endif()
endfunction()

# zelvo_test_folder(NAME LIBS...): one GoogleTest program for a tests/ sub-folder, every case in CTest.
# A Windows build leaves out the files the folder lists in ZELVO_NOT_ON_WINDOWS and the cases it lists
# in ZELVO_CASES_NOT_ON_WINDOWS (Suite.Case); other builds leave out those in ZELVO_ONLY_ON_WINDOWS.
function(zelvo_test_folder name)
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  if(WIN32)
    foreach(file ${ZELVO_NOT_ON_WINDOWS})
      list(REMOVE_ITEM sources "${CMAKE_CURRENT_SOURCE_DIR}/${file}")
    endforeach()
  else()
    foreach(file ${ZELVO_ONLY_ON_WINDOWS})
      list(REMOVE_ITEM sources "${CMAKE_CURRENT_SOURCE_DIR}/${file}")
    endforeach()
  endif()
  if(NOT sources)
    return()
  endif()
  add_executable(test_${name} ${sources})
  target_link_libraries(test_${name} PRIVATE ${ARGN} zelvo_testsupport GTest::gmock GTest::gtest_main)
  target_compile_definitions(test_${name} PRIVATE
    ZELVO_SOURCE_DIR="${CMAKE_SOURCE_DIR}" ZELVO_BINARY_DIR="${CMAKE_BINARY_DIR}"
    ZELVO_TEST_DATA="${CMAKE_SOURCE_DIR}/tests/data")
  set(filter "")
  if(WIN32 AND ZELVO_CASES_NOT_ON_WINDOWS)
    list(JOIN ZELVO_CASES_NOT_ON_WINDOWS ":" cases)
    set(filter TEST_FILTER "-${cases}")
  endif()
  gtest_discover_tests(test_${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 ${filter}
    PROPERTIES TIMEOUT 300)
endfunction()

# zelvo_version_resource(TARGET DESCRIPTION [ICON FILE.ico]): a Windows executable's version resource, from
# the project's version, and its icon when one is named; nothing elsewhere.
function(zelvo_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "ICON" "")
  set(ZELVO_RC_ICON "")
  if(arg_ICON)
    set(ZELVO_RC_ICON "MAINICON ICON \"${arg_ICON}\"")
  endif()
  set(ZELVO_RC_NAME ${target})
  set(ZELVO_RC_FILE ${target}.exe)
  set(ZELVO_RC_DESCRIPTION "${description}")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/version.rc.in" "${CMAKE_CURRENT_BINARY_DIR}/${target}.rc" @ONLY)
  target_sources(${target} PRIVATE "${CMAKE_CURRENT_BINARY_DIR}/${target}.rc")
endfunction()
