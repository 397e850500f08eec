# `cpack -G DEB` in the build folder: tqcihelper_<version>_amd64.deb with what
# the install rules put under /usr, and Depends found by dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME tqcihelper)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Keeps a content index in step with deletions; reference CI server and tools")
set(CPACK_PACKAGE_CONTACT "TQCIHelper developers <tqcihelper@localhost>")
set(CPACK_GENERATOR DEB)
# DESTDIR staging: the install rules see the package's own prefix, /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS passwd)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
