# The Windows layout: pulvane.exe with every DLL and plugin it loads in one
# folder (cmake --install build-windows --prefix build-windows/dist), and the
# 64-bit NSIS installer CPack makes from the same rules:
#   cd build-windows && cpack   -> Pulvane-<version>-win64.exe
# Included from packaging.cmake when building for Windows.

# Each DLL copied in is named in _copied (its path in the folder), to be
# stripped below.
set(_copied)

# Qt's DLLs and the two plugins the window needs: the platform plugin and the
# native style.
foreach(_qt Qt6::Core Qt6::Gui Qt6::Widgets)
  install(FILES $<TARGET_FILE:${_qt}> DESTINATION .)
  list(APPEND _copied $<TARGET_FILE_NAME:${_qt}>)
endforeach()
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)
list(APPEND _copied platforms/$<TARGET_FILE_NAME:Qt6::QWindowsIntegrationPlugin>
    styles/$<TARGET_FILE_NAME:Qt6::QWindowsVistaStylePlugin>)

# libusb's DLL, next to the import library pkg-config named.
find_file(PULVANE_LIBUSB_DLL libusb-1.0.dll
    HINTS ${LIBUSB_LIBDIR}/../bin ${LIBUSB_PREFIX}/bin NO_CMAKE_FIND_ROOT_PATH)
if(NOT PULVANE_LIBUSB_DLL)
  message(FATAL_ERROR "libusb-1.0.dll not found beside ${LIBUSB_LIBDIR}")
endif()
install(FILES ${PULVANE_LIBUSB_DLL} DESTINATION .)
list(APPEND _copied libusb-1.0.dll)

# The compiler's runtime: the C++ library, libgcc and winpthreads.
foreach(_dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_dll}
      OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${_path}" OR NOT EXISTS "${_path}")
    find_file(_path_${_dll} ${_dll} PATHS /usr/${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32/lib
        /usr/x86_64-w64-mingw32/lib NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
    set(_path ${_path_${_dll}})
  endif()
  if(NOT EXISTS "${_path}")
    message(FATAL_ERROR "The compiler's ${_dll} was not found")
  endif()
  install(FILES ${_path} DESTINATION .)
  list(APPEND _copied ${_dll})
endforeach()

# The copies come as they were built, debug sections and all (libstdc++ is
# 24 MB with them, 2 MB without); --strip and CPack strip only our own targets.
# Their copies are stripped here, for the folder and the installer alike.
if(NOT CMAKE_STRIP)
  message(FATAL_ERROR "No strip program for ${CMAKE_SYSTEM_NAME} was found")
endif()
install(CODE "
  foreach(_dll ${_copied})
    set(_file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${_dll}\")
    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \"\${_file}\"
        RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR \"${CMAKE_STRIP} could not strip \${_file}\")
    endif()
  endforeach()")

# The Start-menu entry "Pulvane diagnostics": opens, for whoever clicks it,
# the file where the program keeps why a stick could not be used.
add_executable(pulvane-diagnostics WIN32 ${PULVANE_PACKAGING_DIR}/opendiagnostics_win.cpp)
target_link_libraries(pulvane-diagnostics PRIVATE pulvane_ant shell32 ole32 user32)
pulvane_program_block(pulvane-diagnostics DESCRIPTION "Pulvane diagnostics")
install(TARGETS pulvane-diagnostics RUNTIME DESTINATION .)

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . RENAME README.txt)

set(CPACK_GENERATOR NSIS)
set(CPACK_PACKAGE_NAME Pulvane)
set(CPACK_PACKAGE_VENDOR "${PULVANE_VENDOR}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Finds the nearest ANT+ heart-rate chest belt and saves its device number")
# CPack's own name would drop the fourth version number.
set(CPACK_PACKAGE_FILE_NAME "Pulvane-${PROJECT_VERSION}-win64")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Pulvane)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Pulvane)
set(CPACK_STRIP_FILES ON)
# A 64-bit installer for the 64-bit Program Files: a 32-bit stub would run
# under WOW64 only.
# pulvane.nsh: a running Pulvane is closed before its file is replaced or
# removed. (Single quotes: CPack's configuration file loses double ones.)
set(CPACK_NSIS_DEFINES "Target amd64-unicode\n!include '${PULVANE_PACKAGING_DIR}/pulvane.nsh'")
set(CPACK_NSIS_EXTRA_PREINSTALL_COMMANDS "Call PulvaneClose")
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "Call un.PulvaneClose")
# Sharp at every scale; the program's icon on the installer, the uninstaller
# and (from pulvane.exe) in Add/Remove Programs and the Start menu.
set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
set(CPACK_NSIS_MUI_ICON ${PULVANE_PACKAGING_DIR}/icons/pulvane.ico)
set(CPACK_NSIS_MUI_UNIICON ${PULVANE_PACKAGING_DIR}/icons/pulvane.ico)
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_PACKAGE_NAME Pulvane)
set(CPACK_NSIS_DISPLAY_NAME Pulvane)
set(CPACK_NSIS_INSTALLED_ICON_NAME pulvane.exe)
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
# The Start-menu entries "Pulvane" and "Pulvane diagnostics"; the uninstaller
# removes both.
set(CPACK_PACKAGE_EXECUTABLES pulvane Pulvane pulvane-diagnostics "Pulvane diagnostics")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_MODIFY_PATH OFF)

include(CPack)
