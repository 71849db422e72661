# The Windows Installer package of this build's program,
# VelmoMon-<version>-<x86|x64>.msi beside it, built with every build (target
# velmo_package). cmake/BuildPackage.cmake says how the version is carried
# over; VELMO_SIGN_CERT names a .pfx to sign the program and the package with.
set(VELMO_SIGN_CERT "" CACHE FILEPATH "Authenticode certificate (.pfx) that signs the packaged program and the package")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VELMO_PACKAGE_ARCH x64)
else()
  set(VELMO_PACKAGE_ARCH x86)
endif()
set(VELMO_PACKAGE ${CMAKE_BINARY_DIR}/VelmoMon-${PROJECT_VERSION}-${VELMO_PACKAGE_ARCH}.msi)

find_program(VELMO_WIXL wixl)
if(NOT VELMO_WIXL)
  message(WARNING "wixl (msitools) is not installed: no installer package is built (scripts/setup installs it)")
  return()
endif()
add_custom_command(
  OUTPUT ${VELMO_PACKAGE}
  COMMAND ${CMAKE_COMMAND} -DARCH=${VELMO_PACKAGE_ARCH} -DVERSION=${PROJECT_VERSION}
          -DPROGRAM=$<TARGET_FILE:VelmoMon> -DOUTPUT=${VELMO_PACKAGE} -DSIGN_CERT=${VELMO_SIGN_CERT}
          -P ${CMAKE_SOURCE_DIR}/cmake/BuildPackage.cmake
  DEPENDS VelmoMon ${CMAKE_SOURCE_DIR}/cmake/BuildPackage.cmake ${CMAKE_SOURCE_DIR}/packaging/VelmoMon.wxs
          ${CMAKE_SOURCE_DIR}/shell/VelmoMon.ico
  VERBATIM)
add_custom_target(velmo_package ALL DEPENDS ${VELMO_PACKAGE})
