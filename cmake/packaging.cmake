# The packages CPack makes from the install rules' "velkor" component: a .deb
# on Linux, a .zip from the Windows cross build. Run `cpack` in the build
# directory (docs/packages.md).
set(CPACK_PACKAGE_NAME velkor)
set(CPACK_PACKAGE_VENDOR "The velkor developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "load generator for HTTP/1.1 servers over many keep-alive connections")
set(CPACK_PACKAGE_DESCRIPTION
    "velkor measures how an HTTP/1.1 server copes with many concurrent long-lived
connections: N virtual clients, each on its own TCP keep-alive connection, send
GET after GET for a run time, optionally paced to a total target rate. It
prints a progress line each second and a summary with the mean latency, the
effective requests per second and the 50/90/95/99/100 percent latencies.
Results can be saved, merged exactly across agents on several hosts, and
charted with velkor-report.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
# Only velkor's own component: nothing a bundled library might install.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};velkor;velkor;/")
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME velkor-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VELKOR_PACKAGE_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION web)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The dependencies are what dpkg-shlibdeps finds the programs linked
  # against, and nothing else.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
