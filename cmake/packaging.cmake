# Debian packages of this build: after the build, `cpack -G DEB` in the build folder writes
#
#   libzel-protocol1     the shared library under its SONAME (install component Runtime)
#   libzel-protocol-dev  headers, the development link, CMake package, pkg-config file (Development)
#   tqr                  the tool, its man pages and bash completion, the coordinator's systemd unit
#                        and its settings file /etc/default/tqr-coordinator (Tool)
#
# Their dependencies on other packages come from dpkg-shlibdeps, run on the binaries they hold. tqr
# is a host of the shared library like any other, so it depends on libzel-protocol1 of its version.

set(ZEL_PACKAGE_MAINTAINER "zel_protocol maintainers <maintainers@zel-protocol.example>"
  CACHE STRING "Maintainer named in the Debian packages")

# Where systemd's unit reads the service's settings: a packaged system only, so no plain install
# writes to /etc. A conffile, so that a local edit survives an upgrade.
install(FILES packaging/tqr-coordinator.env DESTINATION /etc/default RENAME tqr-coordinator
  COMPONENT Tool EXCLUDE_FROM_ALL)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/packaging/conffiles "/etc/default/tqr-coordinator\n")

if(NOT ZEL_SCDOC)
  message(STATUS "scdoc not found: the tqr package will hold no man pages")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zel-protocol)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ZEL_PACKAGE_MAINTAINER}")
# The files are installed under DESTDIR with /usr as the prefix, so that what they name (the .pc
# file's prefix, the unit's ExecStart) is where the package puts them, and /etc stays /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Runtime Development Tool)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZEL_PACKAGE_MAINTAINER}")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzel-protocol${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# A shlibs file for the package that holds a SONAME, so that dpkg-shlibdeps finds it for hosts
# built against it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# A description is its summary line, then the text of the package's longer description.
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "TQR rendezvous protocol library
Coordinator, senders and endstations find each other over TCP and hand each host program a
direct, key-checked link. This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libzel-protocol-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "libzel-protocol${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "TQR rendezvous protocol library: development files
Headers, the CMake package (find_package(zel_protocol)) and the pkg-config file (zel_protocol)
for building host programs against libzel-protocol${PROJECT_VERSION_MAJOR}.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME tqr)
# tqr links the library of the Runtime package built beside it: dpkg-shlibdeps finds it in the build
# tree, and the dependency is stated, to the exact version the tool was built with. libarchive is
# loaded, not linked, so dpkg-shlibdeps cannot see it: it is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "libzel-protocol${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION}), ${TQR_ARCHIVE_PACKAGE}")
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOL_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/packaging/conffiles)
set(CPACK_COMPONENT_TOOL_DESCRIPTION "TQR rendezvous coordinator and file transfer tool
tqr runs a coordinator (as a systemd service, with status lines and Prometheus metrics), sends
or receives a file, encrypted, through a rendezvous, and shows the whole in one command.")

include(CPack)

# The test that makes the packages and unpacks them.
if(TARGET service_test)
  set(zel_sanitized 0)
  if(ZEL_SANITIZE)
    set(zel_sanitized 1)
  endif()
  set(zel_man 0)
  if(ZEL_SCDOC)
    set(zel_man 1)
  endif()
  target_compile_definitions(service_test PRIVATE
    ZEL_BINARY_DIR="${CMAKE_CURRENT_BINARY_DIR}"
    ZEL_CPACK="${CMAKE_CPACK_COMMAND}"
    ZEL_CMAKE="${CMAKE_COMMAND}"
    ZEL_INSTALL_LIBDIR="${CMAKE_INSTALL_LIBDIR}"
    ZEL_VERSION="${PROJECT_VERSION}"
    ZEL_SANITIZED=${zel_sanitized}
    ZEL_MAN=${zel_man})
  add_dependencies(service_test zel_protocol tqr)
  if(TARGET man)
    add_dependencies(service_test man)
  endif()
endif()
