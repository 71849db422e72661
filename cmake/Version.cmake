# The program's version, from project(): the version resource takes it from
# the generated Version.h, the installer packages from the same variables.
set(VELMO_VERSION_NUMBERS
    "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},${PROJECT_VERSION_TWEAK}")
set(VELMO_VERSION_TEXT
    "${PROJECT_VERSION_MAJOR}, ${PROJECT_VERSION_MINOR}, ${PROJECT_VERSION_PATCH}, ${PROJECT_VERSION_TWEAK}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/Version.h.in ${CMAKE_BINARY_DIR}/generated/Version.h @ONLY)
include_directories(${CMAKE_BINARY_DIR}/generated)
