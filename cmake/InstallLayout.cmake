# Where the installed files go, and what the programs need to know of it: the version they
# report and the way from their own folder to the private one that holds the plug-in and the
# window program. Relative, so that a staged install (DESTDIR) finds its files as the real one.
include(GNUInstallDirs)

# The package build passes its version from debian/changelog; a development build names its
# commit, as it was when configured.
set(ENGRAVING_VERSION "" CACHE STRING "The version the programs report (default: 0.0~dev and the commit)")
if(ENGRAVING_VERSION)
  set(ENGRAVING_VERSION_TEXT "${ENGRAVING_VERSION}")
else()
  set(ENGRAVING_VERSION_TEXT "0.0~dev")
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} describe --always --dirty
      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
      OUTPUT_VARIABLE describe OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE describe_result ERROR_QUIET)
    if(describe_result EQUAL 0 AND describe)
      set(ENGRAVING_VERSION_TEXT "0.0~dev+${describe}")
    endif()
  endif()
endif()

set(ENGRAVING_PRIVATE_DIR "${CMAKE_INSTALL_LIBDIR}/engraving")
file(RELATIVE_PATH ENGRAVING_PRIVATE_DIR_FROM_BINDIR "${CMAKE_INSTALL_FULL_BINDIR}"
  "${CMAKE_INSTALL_PREFIX}/${ENGRAVING_PRIVATE_DIR}")
set(ENGRAVING_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/engraving")

configure_file(${CMAKE_SOURCE_DIR}/host/InstallConfig.h.in
  ${CMAKE_BINARY_DIR}/generated/host/InstallConfig.h @ONLY)
