# Compiles the test certificates (tests/data/*.der) into a source file, so
# that the tests and tools that use them need no files at run time.
#   velmo_test_certificates(OUTPUT_VARIABLE)
function(velmo_test_certificates output_variable)
  set(data_dir ${CMAKE_SOURCE_DIR}/tests/data)
  set(source ${CMAKE_CURRENT_BINARY_DIR}/TestCertificates.cpp)
  set(text "// Generated from tests/data/*.der\n#include \"card-image/TestCertificates.h\"\n")
  foreach(name ca sign enc)
    set(der ${data_dir}/${name}.der)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${der})
    file(READ ${der} hex HEX)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    string(APPEND text "static const unsigned char ${name}Bytes[] = {${bytes}};\n")
  endforeach()
  string(APPEND text
    "Bytes caCertificate() { return Bytes(caBytes, caBytes + sizeof caBytes); }\n"
    "Bytes signingCertificate() { return Bytes(signBytes, signBytes + sizeof signBytes); }\n"
    "Bytes encryptionCertificate() { return Bytes(encBytes, encBytes + sizeof encBytes); }\n")
  file(CONFIGURE OUTPUT ${source} CONTENT "${text}")
  set(${output_variable} ${source} PARENT_SCOPE)
endfunction()
