# The Windows Installer package of this build's program,
# VelmoMon-<version>-<x86|x64>.msi beside it, built with every build (target
# velmo_package), and the Group Policy templates (velmo_policy_templates). cmake/BuildPackage.cmake says how the version is carried
# over; VELMO_SIGN_CERT names a .pfx to sign the program and the package with.
set(VELMO_SIGN_CERT "" CACHE FILEPATH "Authenticode certificate (.pfx) that signs the packaged program and the package")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VELMO_PACKAGE_ARCH x64)
else()
  set(VELMO_PACKAGE_ARCH x86)
endif()
set(VELMO_PACKAGE ${CMAKE_BINARY_DIR}/VelmoMon-${PROJECT_VERSION}-${VELMO_PACKAGE_ARCH}.msi)

# The Group Policy templates of the policy values the program reads, in the
# layout of a PolicyDefinitions folder beside the package.
set(VELMO_POLICY_TEMPLATES ${CMAKE_BINARY_DIR}/PolicyDefinitions)
set(policy_adml ${CMAKE_SOURCE_DIR}/packaging/PolicyDefinitions/en-US/VelmoMon.adml
                ${CMAKE_SOURCE_DIR}/packaging/PolicyDefinitions/es-ES/VelmoMon.adml)
add_custom_command(
  OUTPUT ${VELMO_POLICY_TEMPLATES}/VelmoMon.admx ${VELMO_POLICY_TEMPLATES}/en-US/VelmoMon.adml
         ${VELMO_POLICY_TEMPLATES}/es-ES/VelmoMon.adml
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${VELMO_POLICY_TEMPLATES} -P ${CMAKE_SOURCE_DIR}/cmake/PolicyTemplates.cmake
  DEPENDS ${CMAKE_SOURCE_DIR}/cmake/PolicyTemplates.cmake ${CMAKE_SOURCE_DIR}/settings/Settings.h ${policy_adml}
  VERBATIM)
add_custom_target(velmo_policy_templates ALL DEPENDS ${VELMO_POLICY_TEMPLATES}/VelmoMon.admx)

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
