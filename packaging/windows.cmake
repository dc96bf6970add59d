# The Windows layout: pulvane.exe with every DLL and plugin it loads in one
# folder (cmake --install build-windows --prefix build-windows/dist), and the
# 64-bit NSIS installer CPack makes from the same rules:
#   cd build-windows && cpack   -> Pulvane-<version>-win64.exe
# Included from packaging.cmake when building for Windows.

# Qt's DLLs and the two plugins the window needs: the platform plugin and the
# native style.
foreach(_qt Qt6::Core Qt6::Gui Qt6::Widgets)
  install(FILES $<TARGET_FILE:${_qt}> DESTINATION .)
endforeach()
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)

# libusb's DLL, next to the import library pkg-config named.
find_file(PULVANE_LIBUSB_DLL libusb-1.0.dll
    HINTS ${LIBUSB_LIBDIR}/../bin ${LIBUSB_PREFIX}/bin NO_CMAKE_FIND_ROOT_PATH)
if(NOT PULVANE_LIBUSB_DLL)
  message(FATAL_ERROR "libusb-1.0.dll not found beside ${LIBUSB_LIBDIR}")
endif()
install(FILES ${PULVANE_LIBUSB_DLL} DESTINATION .)

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
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . RENAME README.txt)

set(CPACK_GENERATOR NSIS)
set(CPACK_PACKAGE_NAME Pulvane)
set(CPACK_PACKAGE_VENDOR "Pulvane developers")
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
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_PACKAGE_NAME Pulvane)
set(CPACK_NSIS_DISPLAY_NAME Pulvane)
set(CPACK_NSIS_INSTALLED_ICON_NAME pulvane.exe)
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
# The Start-menu entry "Pulvane".
set(CPACK_PACKAGE_EXECUTABLES pulvane Pulvane)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_MODIFY_PATH OFF)

include(CPack)
