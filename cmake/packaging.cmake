# Debian packages from a Release build configured with
# -DCMAKE_INSTALL_PREFIX=/usr:  cpack -G DEB  gives
#   libkivgsm1     the shared library
#   libkivgsm-dev  the header, the .so link, pkg-config and CMake files
#   kivgsm         the command-line tool
# Dependencies on other packages come from dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME kivgsm)
set(CPACK_PACKAGE_VENDOR "kivgsm developers")
set(CPACK_PACKAGE_CONTACT "kivgsm developers <kivgsm@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "GSM 06.10 WAVE files from raw speech, audio files and the audio input")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tool)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tool links the library being packaged beside it; dpkg-shlibdeps
# finds it here, and the dependency on it is stated below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkivgsm1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "GSM 06.10 WAVE conversion and recording library\n"
  " The shared library: KivWave2GSM610 and the GSM and PCM sound recorders.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkivgsm-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libkivgsm1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "GSM 06.10 WAVE conversion and recording library (development files)\n"
  " The C header, the link to the shared library, and pkg-config and CMake files.")
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME kivgsm)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "libkivgsm1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOL_DESCRIPTION "GSM 06.10 WAVE files from any audio file, and back\n"
  " kivgsm converts raw speech and any audio file that libsndfile reads to GSM\n"
  " 06.10 WAVE files, many at once; decodes them; records; and inspects and\n"
  " repairs WAVE headers.")
include(CPack)
