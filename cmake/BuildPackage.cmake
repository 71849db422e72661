# Builds VelmoMon's Windows Installer package with wixl (msitools), and
# signs the program in it and the package with osslsigncode when asked.
#   cmake -DARCH=x86|x64 -DVERSION=A.B.C.D -DPROGRAM=VelmoMon.exe -DOUTPUT=X.msi
#         [-DSIGN_CERT=CERT.pfx] -P BuildPackage.cmake
# The password of CERT.pfx, if it has one, is read from VELMO_SIGN_PASSWORD.
#
# Windows Installer compares only the first three fields of a package's
# version, so the program's A.B.C.D becomes the package version
# A.B.(C*1000+D): 1.0.0.10 is 1.0.10, 1.0.0.11 is 1.0.11, 1.0.1.0 is 1.0.1000.
# Every rise of the program's version is then a rise of the package's, and so
# a major upgrade. Every package gets a new product code, so that a rebuild
# of one version (signed, say, after an unsigned one) replaces the installed
# build of it as an upgrade does, where Windows Installer would refuse a
# second package under the same product code.
cmake_minimum_required(VERSION 3.20)

foreach(name ARCH VERSION PROGRAM OUTPUT)
  if(NOT DEFINED ${name} OR "${${name}}" STREQUAL "")
    message(FATAL_ERROR "BuildPackage: ${name} is not set")
  endif()
endforeach()
get_filename_component(source_dir ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

if(NOT VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "BuildPackage: version ${VERSION} is not four numbers")
endif()
set(major ${CMAKE_MATCH_1})
set(minor ${CMAKE_MATCH_2})
set(patch ${CMAKE_MATCH_3})
set(tweak ${CMAKE_MATCH_4})
if(major GREATER 255 OR minor GREATER 255 OR patch GREATER 64 OR tweak GREATER 999)
  message(FATAL_ERROR "BuildPackage: version ${VERSION} does not fit a package version "
                      "(at most 255.255.64.999)")
endif()
math(EXPR build "${patch} * 1000 + ${tweak}")
set(package_version ${major}.${minor}.${build})
math(EXPR next_build "${build} + 1")
set(next_version ${major}.${minor}.${next_build})

# Fixed per architecture: the upgrade code ties every version of one
# architecture's package together; the component codes stay the same across
# versions. The two architectures are separate products, each of which
# knows the other's upgrade code: one VelmoMon per machine.
set(x86_upgrade_code B8C88BE0-F6A2-42B8-B056-FB6B3BE536A2)
set(x64_upgrade_code 8C33AB50-1504-424F-9BCE-351B26E5FDC5)
if(ARCH STREQUAL "x86")
  set(upgrade_code ${x86_upgrade_code})
  set(other_upgrade_code ${x64_upgrade_code})
  set(program_component 3E8D52D0-0F6D-4F7A-98D7-C75671E46E49)
  set(run_component 6169C74E-3D59-4BCF-BC0F-82472C175ABE)
  set(folder_component 0D6B7C4E-2F1A-4E83-9C5D-6A0E9B3F1C27)
  set(event_source_component 85517C99-DBF8-4CC2-9D28-4B8C9FC08F3F)
  set(event_preference_component 4246F3A4-F096-4C02-B830-EB040656BFE2)
  set(start_menu_component 0A4EAB57-472C-43BD-8FDB-608A1E10FF3F)
  set(program_files ProgramFilesFolder)
  set(win64 no)
elseif(ARCH STREQUAL "x64")
  set(upgrade_code ${x64_upgrade_code})
  set(other_upgrade_code ${x86_upgrade_code})
  set(program_component 8518B5B9-47AF-4FCA-B41E-AEEA35DA4300)
  set(run_component 33FE172E-4136-42DD-8ECB-A12331ABCF27)
  set(folder_component 5A2E8F13-7B4C-4D9E-A1F6-C83B0E7D2945)
  set(event_source_component 1DEEE34D-A01B-4D20-BD93-9AF98FCAA26C)
  set(event_preference_component E1D6FB63-8D2F-4452-BC5A-0D643420BA2E)
  set(start_menu_component 2C526A07-1B63-45C5-899E-7309F7F7EAFA)
  set(program_files ProgramFiles64Folder)
  set(win64 yes)
else()
  message(FATAL_ERROR "BuildPackage: ARCH is x86 or x64, not ${ARCH}")
endif()
string(RANDOM LENGTH 32 ALPHABET 0123456789ABCDEF random)
string(UUID product_code NAMESPACE 30777E26-BD22-48CD-AB09-D1FF9CD55E7F
       NAME "VelmoMon ${ARCH} ${package_version} ${random}" TYPE SHA1 UPPER)

find_program(WIXL wixl)
if(NOT WIXL)
  message(FATAL_ERROR "BuildPackage: wixl (Debian package wixl, msitools) is not installed")
endif()
find_program(MSIBUILD msibuild)
find_program(MSIINFO msiinfo)
if(NOT MSIBUILD OR NOT MSIINFO)
  message(FATAL_ERROR "BuildPackage: msibuild and msiinfo (Debian package msitools) are not installed")
endif()

# wixl takes its sources by relative name, so everything goes into one
# folder beside the package.
set(stage ${OUTPUT}.stage)
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage})
file(COPY ${PROGRAM} DESTINATION ${stage})
get_filename_component(program_name ${PROGRAM} NAME)
if(NOT program_name STREQUAL "VelmoMon.exe")
  file(RENAME ${stage}/${program_name} ${stage}/VelmoMon.exe)
endif()
file(COPY ${source_dir}/shell/VelmoMon.ico ${source_dir}/packaging/VelmoMon.wxs DESTINATION ${stage})

function(sign file)
  find_program(OSSLSIGNCODE osslsigncode)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "BuildPackage: osslsigncode is not installed")
  endif()
  set(password)
  if(DEFINED ENV{VELMO_SIGN_PASSWORD})
    set(password -pass "$ENV{VELMO_SIGN_PASSWORD}")
  endif()
  execute_process(COMMAND ${OSSLSIGNCODE} sign -pkcs12 ${SIGN_CERT} ${password} -h sha256
                          -n VelmoMon -in ${file} -out ${file}.signed
                  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "BuildPackage: signing ${file} failed:\n${output}")
  endif()
  file(RENAME ${file}.signed ${file})
endfunction()

if(SIGN_CERT)
  sign(${stage}/VelmoMon.exe)
endif()

execute_process(
  COMMAND ${WIXL} -a ${ARCH} -o ${OUTPUT}.new
          -D Arch=${ARCH} -D Version=${package_version} -D NextVersion=${next_version} -D ProductCode=${product_code}
          -D UpgradeCode=${upgrade_code} -D OtherUpgradeCode=${other_upgrade_code} -D ProgramComponent=${program_component}
          -D RunComponent=${run_component} -D StartMenuComponent=${start_menu_component}
          -D FolderComponent=${folder_component} -D EventSourceComponent=${event_source_component}
          -D EventPreferenceComponent=${event_preference_component} -D ProgramFilesFolder=${program_files} -D Win64=${win64}
          -D Program=VelmoMon.exe -D Icon=VelmoMon.ico VelmoMon.wxs
  WORKING_DIRECTORY ${stage}
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "BuildPackage: wixl failed:\n${output}")
endif()

# What wixl cannot write: the Run value is installed only when AUTOSTART is
# not 0 (a component condition), and AUTOSTART and EVENTLOG join the secure
# properties (wixl lists the upgrade search's), which reach the
# installation's server side in a managed installation.
execute_process(COMMAND ${MSIINFO} export ${OUTPUT}.new Property OUTPUT_VARIABLE properties RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT properties MATCHES "\nSecureCustomProperties\t([^\r\n]*)")
  message(FATAL_ERROR "BuildPackage: no secure properties in the package wixl wrote")
endif()
set(secure_properties "${CMAKE_MATCH_1};AUTOSTART;EVENTLOG")
execute_process(
  COMMAND ${MSIBUILD} ${OUTPUT}.new
          -q "UPDATE `Component` SET `Condition` = 'AUTOSTART <> \"0\"' WHERE `Component` = 'RunAtLogOn'"
          -q "UPDATE `Property` SET `Value` = '${secure_properties}' WHERE `Property` = 'SecureCustomProperties'"
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "BuildPackage: msibuild failed:\n${output}")
endif()
if(SIGN_CERT)
  sign(${OUTPUT}.new)
endif()
file(RENAME ${OUTPUT}.new ${OUTPUT})
file(REMOVE_RECURSE ${stage})
message(STATUS "Built ${OUTPUT}: VelmoMon ${package_version} (${ARCH}), product code {${product_code}}")
