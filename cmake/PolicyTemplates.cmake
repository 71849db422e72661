# Writes the Group Policy templates of VelmoMon's policy values: the ADMX
# file, from the table in settings/Settings.h that the program itself reads,
# and beside it the ADML language files of packaging/PolicyDefinitions, in the
# layout of a PolicyDefinitions folder:
#   OUTPUT/VelmoMon.admx, OUTPUT/en-US/VelmoMon.adml, OUTPUT/es-ES/VelmoMon.adml
#   cmake -DOUTPUT=DIR -P PolicyTemplates.cmake
# Every policy is an on/off one under the class Machine: enabled writes the
# row's maximum, disabled its minimum, not configured leaves the value out.
cmake_minimum_required(VERSION 3.20)

if(NOT DEFINED OUTPUT OR OUTPUT STREQUAL "")
  message(FATAL_ERROR "PolicyTemplates: OUTPUT is not set")
endif()
get_filename_component(source_dir ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
set(table ${source_dir}/settings/Settings.h)

file(STRINGS ${table} lines)
set(key)
set(policies)
foreach(line IN LISTS lines)
  if(line MATCHES "^const char PolicyKey\\[\\] = \"([^\"]+)\";$")
    string(REPLACE "\\\\" "\\" key "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^const PolicyValue [A-Za-z]+ = ")
    if(NOT line MATCHES "^const PolicyValue [A-Za-z]+ = {\"([A-Za-z]+)\", (REG_DWORD), ([0-9]+), ([0-9]+), ([0-9]+), (true|false)};$")
      message(FATAL_ERROR "PolicyTemplates: a row of ${table} that it cannot read:\n${line}")
    endif()
    set(name ${CMAKE_MATCH_1})
    set(minimum ${CMAKE_MATCH_3})
    set(maximum ${CMAKE_MATCH_4})
    if(NOT minimum EQUAL 0 OR NOT maximum EQUAL 1)
      message(FATAL_ERROR "PolicyTemplates: ${name} ranges over ${minimum}..${maximum}; only on/off values (0..1) are written")
    endif()
    string(APPEND policies
"    <policy name=\"${name}\" class=\"Machine\" displayName=\"$(string.${name})\" explainText=\"$(string.${name}_Help)\"
            key=\"${key}\" valueName=\"${name}\">
      <parentCategory ref=\"VelmoMon\" />
      <supportedOn ref=\"SUPPORTED_VelmoMon\" />
      <enabledValue><decimal value=\"${maximum}\" /></enabledValue>
      <disabledValue><decimal value=\"${minimum}\" /></disabledValue>
    </policy>
")
  endif()
endforeach()
if(NOT key OR NOT policies)
  message(FATAL_ERROR "PolicyTemplates: no policy key or no rows in ${table}")
endif()

file(WRITE ${OUTPUT}/VelmoMon.admx.new
"<?xml version=\"1.0\" encoding=\"utf-8\"?>
<!-- VelmoMon's policy values, written from settings/Settings.h. -->
<policyDefinitions xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"
                   revision=\"1.0\" schemaVersion=\"1.0\"
                   xmlns=\"http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions\">
  <policyNamespaces>
    <target prefix=\"velmomon\" namespace=\"Velmo.Policies.VelmoMon\" />
  </policyNamespaces>
  <resources minRequiredRevision=\"1.0\" />
  <supportedOn>
    <definitions>
      <definition name=\"SUPPORTED_VelmoMon\" displayName=\"$(string.SUPPORTED_VelmoMon)\" />
    </definitions>
  </supportedOn>
  <categories>
    <category name=\"VelmoMon\" displayName=\"$(string.VelmoMon)\" />
  </categories>
  <policies>
${policies}  </policies>
</policyDefinitions>
")
file(RENAME ${OUTPUT}/VelmoMon.admx.new ${OUTPUT}/VelmoMon.admx)
foreach(language en-US es-ES)
  file(COPY ${source_dir}/packaging/PolicyDefinitions/${language}/VelmoMon.adml DESTINATION ${OUTPUT}/${language})
endforeach()
