# Where `cmake --install` puts the programs and their documents: Debian's
# layout on Linux (bin/, share/man/man1, share/doc/velkor), and one flat
# folder on Windows, the contents of the zip. Everything is in the component
# "velkor", the one the packages take.
include(GNUInstallDirs)

set(VELKOR_PROGRAMS velkor)
if(TARGET velkor-report)
  list(APPEND VELKOR_PROGRAMS velkor-report)
  # velkor-report carries uPlot inside its pages, so uPlot's license ships too.
  set(VELKOR_UPLOT_LICENSE ${PROJECT_SOURCE_DIR}/third_party/uplot/LICENSE)
endif()

if(WIN32)
  # Notepad-friendly texts: README.txt and LICENSE.txt with CRLF line ends.
  configure_file(${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/package/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_BINARY_DIR}/package/LICENSE.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS ${VELKOR_PROGRAMS} RUNTIME DESTINATION . COMPONENT velkor)
  install(FILES ${PROJECT_BINARY_DIR}/package/README.txt ${PROJECT_BINARY_DIR}/package/LICENSE.txt
          DESTINATION . COMPONENT velkor)
  if(VELKOR_UPLOT_LICENSE)
    configure_file(${VELKOR_UPLOT_LICENSE} ${PROJECT_BINARY_DIR}/package/uPlot-LICENSE.txt
                   @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${PROJECT_BINARY_DIR}/package/uPlot-LICENSE.txt DESTINATION . COMPONENT velkor)
  endif()
  return()
endif()

set(VELKOR_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/velkor)
set(VELKOR_PACKAGE_MAINTAINER "The velkor developers <velkor@example.org>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")

# Man pages and the Debian changelog are installed compressed, as Debian
# wants them: gzip -9n leaves out the name and time, so rebuilds are identical.
set(VELKOR_GZIPPED)
function(velkor_gzip template output)
  configure_file(${template} ${PROJECT_BINARY_DIR}/package/${output} @ONLY)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/package/${output}.gz
                     COMMAND gzip -9nkf ${output}
                     DEPENDS ${PROJECT_BINARY_DIR}/package/${output}
                     WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/package VERBATIM)
  set(VELKOR_GZIPPED ${VELKOR_GZIPPED} ${PROJECT_BINARY_DIR}/package/${output}.gz PARENT_SCOPE)
endfunction()

foreach(program ${VELKOR_PROGRAMS})
  velkor_gzip(${PROJECT_SOURCE_DIR}/docs/man/${program}.1.in ${program}.1)
  install(FILES ${PROJECT_BINARY_DIR}/package/${program}.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT velkor)
endforeach()
velkor_gzip(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in changelog.Debian)
add_custom_target(velkor_documents ALL DEPENDS ${VELKOR_GZIPPED})

install(TARGETS ${VELKOR_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT velkor)
# The guides in docs/ (formats, many hosts) go beside the README.
file(GLOB VELKOR_GUIDES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
              ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
              ${PROJECT_BINARY_DIR}/package/changelog.Debian.gz ${VELKOR_GUIDES}
        DESTINATION ${VELKOR_DOC_DIR} COMPONENT velkor)
if(VELKOR_UPLOT_LICENSE)
  install(FILES ${VELKOR_UPLOT_LICENSE} RENAME uPlot-LICENSE DESTINATION ${VELKOR_DOC_DIR}
          COMPONENT velkor)
endif()
