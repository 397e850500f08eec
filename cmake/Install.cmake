# What `cmake --install` puts under the prefix:
#   <libdir>/tqcihelper/         libTQCIHelper.so and the six product libraries,
#                                together, so that $ORIGIN finds them
#   include/tqcihelper/          TQCIHelper.h and the platform headers it includes
#   bin/                         tqci, cisrv, tqdir
#   <libdir>/cmake/TQCIHelper/   the CMake package: target TQCIHelper::TQCIHelper
#   <libdir>/pkgconfig/          tqcihelper.pc
#   lib/systemd/system/          cisrv@.service
include(CMakePackageConfigHelpers)

set(TQ_INSTALL_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/tqcihelper)
set(TQ_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/TQCIHelper)
set(TQ_INSTALLED_PRODUCT_LIBRARIES YxUtils TqSession TqLib TQAppMgr ArMgrCS ArMgrDS)
set(TQ_INSTALLED_TOOLS tqci cisrv tqdir)

# libTQCIHelper keeps the run path it is built with ($ORIGIN:$ORIGIN/../Base64);
# the product libraries find each other beside themselves, the tools in the
# private folder.
set_target_properties(${TQ_INSTALLED_PRODUCT_LIBRARIES} PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(${TQ_INSTALLED_TOOLS} PROPERTIES
  INSTALL_RPATH "$ORIGIN/../${TQ_INSTALL_PRIVATE_LIBDIR}")

install(TARGETS TQCIHelper ${TQ_INSTALLED_PRODUCT_LIBRARIES} LIBRARY DESTINATION ${TQ_INSTALL_PRIVATE_LIBDIR})
install(TARGETS ${TQ_INSTALLED_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES
  ${TQ_INCLUDE_DIR}/TQCIHelper.h
  ${TQ_PLATFORM_DIR}/EvDebug.h
  ${TQ_PLATFORM_DIR}/TqPlatformApi.h
  ${TQ_PLATFORM_DIR}/TqSession.h
  ${TQ_PLATFORM_DIR}/YxError.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tqcihelper)

configure_package_config_file(cmake/TQCIHelperConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TQCIHelperConfig.cmake INSTALL_DESTINATION ${TQ_INSTALL_CMAKEDIR}
  PATH_VARS TQ_INSTALL_PRIVATE_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TQCIHelperConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TQCIHelperConfig.cmake
  ${PROJECT_BINARY_DIR}/TQCIHelperConfigVersion.cmake DESTINATION ${TQ_INSTALL_CMAKEDIR})

# The .pc file finds the prefix from its own folder, so that any --prefix works.
file(RELATIVE_PATH TQ_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" TQ_PC_TO_PREFIX "${TQ_PC_TO_PREFIX}")
configure_file(cmake/tqcihelper.pc.in ${PROJECT_BINARY_DIR}/tqcihelper.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tqcihelper.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The unit names cisrv by its absolute path, which is known only when installing.
install(CODE "
  set(TQ_CISRV \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/cisrv\")
  set(unit \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/cisrv@.service\")
  message(STATUS \"Installing: \${unit}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/cisrv@.service.in\" \"\${unit}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${unit}\")
")

install(FILES packaging/cisrv.conf.example packaging/cisrv-alerts.yml DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tqcihelper)
