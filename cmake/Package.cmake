# Installation and the Debian package (scripts/package: CPack's DEB generator).
#
# The updater lives in a folder of its own, lib/kx7391updater/, with a link in bin/: under a
# per-user prefix such as ~/.local that folder is writable and the DigiDec writer tool is
# deployed beside the updater; under /usr it is not, and the tool goes to the user's data folder.
set(KX_APP_DIR lib/kx7391updater)
set(KX_DOC_DIR share/doc/kx7391updater)
set(KX_PKG_DIR ${CMAKE_BINARY_DIR}/package-files)

install(TARGETS KX7391Updater RUNTIME DESTINATION ${KX_APP_DIR})
install(CODE "
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
  file(CREATE_LINK ../${KX_APP_DIR}/KX7391Updater
       \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/KX7391Updater\" SYMBOLIC)
")
install(TARGETS kx7391-sim kx7391 RUNTIME DESTINATION bin)
# A stripped install drops the compilers' notes in .comment as well, as Debian's own strip does.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(f ${KX_APP_DIR}/KX7391Updater bin/kx7391 bin/kx7391-sim)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${f}\"
                      COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()
")
install(FILES ${CMAKE_SOURCE_DIR}/resources/desktop/kx7391updater.desktop
              ${CMAKE_SOURCE_DIR}/resources/desktop/kx7391updater-practice.desktop
        DESTINATION share/applications)
install(FILES ${CMAKE_SOURCE_DIR}/resources/desktop/kx7391updater.svg
        DESTINATION share/icons/hicolor/scalable/apps)
# The USB-serial adapters of a bench, usable from the desktop as they are plugged in; udev
# reads /usr/lib/udev/rules.d on merged and split /usr alike.
install(FILES ${CMAKE_SOURCE_DIR}/resources/udev/60-kx7391updater.rules DESTINATION lib/udev/rules.d)
# The software centres' description of the updater, with the release of this version.
set(KX_METAINFO org.example.kx7391updater.metainfo.xml)
set(KX_RELEASE_DATE 2026-12-10)  # the date of this version's entry in resources/debian/changelog.in
configure_file(${CMAKE_SOURCE_DIR}/resources/metainfo/${KX_METAINFO}.in ${KX_PKG_DIR}/${KX_METAINFO} @ONLY)
install(FILES ${KX_PKG_DIR}/${KX_METAINFO} DESTINATION share/metainfo)
install(FILES ${CMAKE_SOURCE_DIR}/resources/completion/kx7391 DESTINATION share/bash-completion/completions)

# Manual pages and the changelog carry the project's version and are installed compressed,
# as Debian wants them (gzip -n: no name or time stamp, so the same bytes every build).
find_program(KX_GZIP gzip REQUIRED)
set(kx_gz_files)
foreach(src man/KX7391Updater.1 man/kx7391-sim.1 man/kx7391.1 debian/changelog)
  get_filename_component(name ${src} NAME)
  configure_file(${CMAKE_SOURCE_DIR}/resources/${src}.in ${KX_PKG_DIR}/${name} @ONLY)
  add_custom_command(OUTPUT ${KX_PKG_DIR}/${name}.gz
    COMMAND ${KX_GZIP} -9nf -k ${KX_PKG_DIR}/${name}
    DEPENDS ${KX_PKG_DIR}/${name}
    VERBATIM)
  list(APPEND kx_gz_files ${KX_PKG_DIR}/${name}.gz)
endforeach()
add_custom_target(kx_package_files ALL DEPENDS ${kx_gz_files})
install(FILES ${KX_PKG_DIR}/KX7391Updater.1.gz ${KX_PKG_DIR}/kx7391-sim.1.gz ${KX_PKG_DIR}/kx7391.1.gz
        DESTINATION share/man/man1)
install(FILES ${KX_PKG_DIR}/changelog.gz ${CMAKE_SOURCE_DIR}/resources/debian/copyright DESTINATION ${KX_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kx7391updater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The KX7391Updater developers")
set(CPACK_PACKAGE_CONTACT "The KX7391Updater developers <kx7391updater@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for the KX7391D receiver")
set(CPACK_PACKAGE_DESCRIPTION "KX7391Updater reads the firmware versions of a KX7391D receiver's boards
over its AUX1 serial port, shows which boards need an update, rewrites the
flash of the MainBoard, Decoder and Panel through the SH microcontrollers'
serial boot mode, and rewrites the DigiDec board with the writer tool it
carries. It logs every action.
.
The package also holds kx7391-sim, a simulated receiver on a pseudo-terminal,
for practice without a receiver (KX7391Updater --practice).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries from the binaries (dpkg-shlibdeps, from dpkg-dev); what no binary links but the
# windows need: Qt's X11 platform plugin and the fonts of the fixed layouts and the terminal.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation2, fonts-urw-base35, fonts-dejavu-core")
# A real receiver's DigiDec writer tool is a Windows program.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS wine)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
include(CPack)
