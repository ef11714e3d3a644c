# What `cmake --install` puts where, and with it the Debian package (paths under the prefix):
#   bin/host-sim, bin/engrave-lcnc                          the programs
#   lib/<multiarch>/engraving/Engraving.so,
#   lib/<multiarch>/engraving/engrave-lcnc-window           their private files
#   LinuxCNC's module folder/engrave_trigger.so             where halcompile --install puts it
#   share/man/man1/host-sim.1, engrave-lcnc.1, man9/engrave_trigger.9
#   share/doc/engraving/README.md, examples/sim/, examples/parport/
# The programs find their private files from their own folder (host/InstallPaths.h).
install(TARGETS host-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS Engraving LIBRARY DESTINATION ${ENGRAVING_PRIVATE_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/docs/man/host-sim.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${ENGRAVING_DOC_DIR})

if(NOT ENGRAVING_HAVE_LINUXCNC)
  return()
endif()
install(TARGETS engrave-lcnc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS engrave-lcnc-window RUNTIME DESTINATION ${ENGRAVING_PRIVATE_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/docs/man/engrave-lcnc.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The simulator as users get it: without the instruments the tests measure it with.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
file(GLOB sim_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/lcnc/sim/*)
set(example_dir ${CMAKE_BINARY_DIR}/examples)
add_custom_command(OUTPUT ${example_dir}/sim.stamp
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/lcnc/make_example.py
    ${CMAKE_SOURCE_DIR}/lcnc/sim ${example_dir}/sim
  COMMAND ${CMAKE_COMMAND} -E touch ${example_dir}/sim.stamp
  DEPENDS ${sim_files} ${CMAKE_SOURCE_DIR}/lcnc/make_example.py
  COMMENT "the simulator example")
add_custom_target(example_config ALL DEPENDS ${example_dir}/sim.stamp)
install(DIRECTORY ${example_dir}/sim ${CMAKE_SOURCE_DIR}/lcnc/parport
  DESTINATION ${ENGRAVING_DOC_DIR}/examples USE_SOURCE_PERMISSIONS)

if(NOT HALCOMPILE)
  return()
endif()
# LinuxCNC's module folder, as its Makefile.modinc names it for halcompile --install.
if(NOT ENGRAVING_HAL_MODULE_DIR)
  execute_process(COMMAND ${HALCOMPILE} --print-modinc OUTPUT_VARIABLE modinc
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(WRITE ${CMAKE_BINARY_DIR}/print-rtlibdir.mk
    "include ${modinc}\nprint-rtlibdir:\n\t@echo $(RTLIBDIR)\n")
  execute_process(COMMAND make -s -f ${CMAKE_BINARY_DIR}/print-rtlibdir.mk print-rtlibdir
    OUTPUT_VARIABLE module_dir OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE make_result)
  if(NOT make_result EQUAL 0 OR NOT module_dir)
    message(FATAL_ERROR "cannot find LinuxCNC's module folder from ${modinc}")
  endif()
  set(ENGRAVING_HAL_MODULE_DIR ${module_dir} CACHE PATH "Where LinuxCNC loads realtime modules from")
endif()
install(FILES ${CMAKE_BINARY_DIR}/lcnc/engrave_trigger.so DESTINATION ${ENGRAVING_HAL_MODULE_DIR})

# The component's man page, from its own documentation of its pins, parameters and functions.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/engrave_trigger.9
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
  COMMAND ${HALCOMPILE} --document -o ${CMAKE_BINARY_DIR}/man/engrave_trigger.9
    ${CMAKE_SOURCE_DIR}/lcnc/engrave_trigger.comp
  DEPENDS ${CMAKE_SOURCE_DIR}/lcnc/engrave_trigger.comp
  COMMENT "engrave_trigger(9)")
add_custom_target(engrave_trigger_man ALL DEPENDS ${CMAKE_BINARY_DIR}/man/engrave_trigger.9)
install(FILES ${CMAKE_BINARY_DIR}/man/engrave_trigger.9 DESTINATION ${CMAKE_INSTALL_MANDIR}/man9)
