# The Windows installer of this build: <build>/zelvo-speedtest-<version>-<arch>.msi from the window and the
# console program, made with wixl (Debian's msitools) when it is installed; part of every Windows build,
# so that its test installs exactly what was built. scripts/package --windows copies it into dist/.
find_program(ZELVO_WIXL wixl)
if(NOT ZELVO_WIXL)
  message(STATUS "wixl not found: no Windows installer (scripts/setup --windows installs it)")
  return()
endif()
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(ZELVO_MSI_ARCH x64)
  set(ZELVO_MSI_WIN64 yes)
  set(ZELVO_MSI_PROGRAM_FILES ProgramFiles64Folder)
  set(ZELVO_MSI_UPGRADE_CODE F2C69221-EDA8-4074-8A5A-9984E9A8C43E)
else()
  set(ZELVO_MSI_ARCH x86)
  set(ZELVO_MSI_WIN64 no)
  set(ZELVO_MSI_PROGRAM_FILES ProgramFilesFolder)
  set(ZELVO_MSI_UPGRADE_CODE 4B2D599D-AD37-4CFA-8E45-FDFEE29B9E8C)
endif()
# wixl finds files only by paths relative to the folder it runs in: the build folder.
set(ZELVO_MSI_ICON "ui/zelvo-speedtest.ico")
set(ZELVO_MSI_WINDOW "$<PATH:RELATIVE_PATH,$<TARGET_FILE:zelvo-speedtest>,${CMAKE_BINARY_DIR}>")
set(ZELVO_MSI_CONSOLE "$<PATH:RELATIVE_PATH,$<TARGET_FILE:zelvo-speedtest-cli>,${CMAKE_BINARY_DIR}>")
set(ZELVO_MSI "${CMAKE_BINARY_DIR}/zelvo-speedtest-${PROJECT_VERSION}-${CMAKE_SYSTEM_PROCESSOR}.msi")
configure_file("${CMAKE_SOURCE_DIR}/cmake/zelvo-speedtest.wxs.in" "${CMAKE_BINARY_DIR}/zelvo-speedtest.wxs.gen"
               @ONLY)
file(GENERATE OUTPUT "${CMAKE_BINARY_DIR}/zelvo-speedtest.wxs" INPUT "${CMAKE_BINARY_DIR}/zelvo-speedtest.wxs.gen")
add_custom_command(OUTPUT "${ZELVO_MSI}"
  COMMAND "${ZELVO_WIXL}" -a ${ZELVO_MSI_ARCH} -o "${ZELVO_MSI}" zelvo-speedtest.wxs
  WORKING_DIRECTORY "${CMAKE_BINARY_DIR}"
  DEPENDS zelvo-speedtest zelvo-speedtest-cli "${CMAKE_BINARY_DIR}/zelvo-speedtest.wxs"
  COMMENT "The Windows installer ${ZELVO_MSI}")
add_custom_target(msi ALL DEPENDS "${ZELVO_MSI}")

# Installed, run, upgraded and removed under the build's Wine loader (root; the remote test bed).
add_test(NAME WindowsInstaller.installs_runs_upgrades_and_removes
  COMMAND "${Python3_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/tests/package/msi_test.py" "${ZELVO_MSI}" ${PROJECT_VERSION})
set_tests_properties(WindowsInstaller.installs_runs_upgrades_and_removes PROPERTIES
  ENVIRONMENT "ZELVO_WINE=${CMAKE_CROSSCOMPILING_EMULATOR}" SKIP_RETURN_CODE 77 TIMEOUT 900 RUN_SERIAL TRUE)
