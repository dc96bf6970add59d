# Install layout beyond the two programs (their install(TARGETS) rules live
# with the targets) and the Debian package built from it by CPack:
#   cmake --install build --prefix /usr/local
#   cd build && cpack            -> pulvane_<version>_<arch>.deb
#
# The udev rule goes to <prefix>/lib/udev/rules.d: udev reads it there when
# the prefix is /usr (the Debian package); for another prefix copy it to
# /etc/udev/rules.d.

set(PULVANE_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

# Windows: a folder that runs as it is and an NSIS installer made from it.
if(WIN32)
  include(${PULVANE_PACKAGING_DIR}/windows.cmake)
  return()
endif()

install(FILES ${PULVANE_PACKAGING_DIR}/60-pulvane-ant.rules
        DESTINATION lib/udev/rules.d
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${PULVANE_PACKAGING_DIR}/pulvane.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# The icon the desktop entry names (Icon=pulvane), in the icon theme every
# desktop falls back to: the drawing and each size rendered from it.
install(FILES ${PULVANE_PACKAGING_DIR}/icons/pulvane.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
file(GLOB _icons RELATIVE ${PULVANE_PACKAGING_DIR}/icons ${PULVANE_PACKAGING_DIR}/icons/pulvane-*.png)
foreach(_icon ${_icons})
  string(REGEX REPLACE "pulvane-([0-9]+)\\.png" "\\1" _size ${_icon})
  install(FILES ${PULVANE_PACKAGING_DIR}/icons/${_icon}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_size}x${_size}/apps
          RENAME pulvane.png)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/pulvane)

set(CPACK_PACKAGE_NAME pulvane)
set(CPACK_PACKAGE_VENDOR "${PULVANE_VENDOR}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Finds the nearest ANT+ heart-rate chest belt and saves its device number")
set(CPACK_PACKAGE_DESCRIPTION
    "Pulvane drives an ANT USB radio stick: START finds the nearest heart-rate\n\
chest belt, shows the live heart rate and the belt's device number, SAVE TO PC\n\
writes the number into the per-user settings store. Includes antsim, a\n\
simulated stick with virtual belts.")
set(CPACK_PACKAGE_CONTACT "${PULVANE_VENDOR} <pulvane@localhost>")
set(CPACK_STRIP_FILES ON)
if(NOT CPACK_GENERATOR)
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# Shared libraries come from dpkg-shlibdeps; what is loaded at run time
# (the platform plugin) or only looked up by name (the Arial stand-in) is
# listed by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PULVANE_PACKAGING_DIR}/debian/postinst ${PULVANE_PACKAGING_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
