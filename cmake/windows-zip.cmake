# SPDX-License-Identifier: MIT
# The Windows zip, kivgsm-<version>-win64.zip (x86-64) or
# kivgsm-<version>-win32.zip (x86) in the build tree, made by the target
# `windows_zip` (scripts/windows-zip.sh configures, builds and runs it). It
# unpacks to one folder:
#
#   kivgsm-<version>-win64/ (or -win32/)
#     bin/      kivgsm.dll; kivgsm.exe with the DLLs it imports
#               (libsndfile-1.dll, libsoxr.dll)
#     include/  kivgsm.h
#     lib/      libkivgsm.dll.a (MinGW) and kivgsm.lib (MSVC-style linkers)
#     lib/cmake/kivgsm/  the CMake package (find_package(kivgsm))
#     bindings/ Kivgsm.cs, the C# binding
#     licenses/ the licence texts of libsndfile and libsoxr, and the Debian
#               source package each was built from
#     README.txt (doc/windows-readme.txt) LICENSE THIRD-PARTY-NOTICES
#
# Included from the top-level CMakeLists.txt, this file defines the target;
# run with `cmake -P`, it packs (the target's command).
if(NOT CMAKE_SCRIPT_MODE_FILE)
  find_program(KIV_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
  set(KIV_WINDOWS_ZIP ${CMAKE_BINARY_DIR}/kivgsm-${PROJECT_VERSION}-${KIV_WINDOWS_NAME}.zip)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(machine i386)
  else()
    set(machine i386:x86-64)
  endif()
  add_custom_target(windows_zip
    COMMAND ${CMAKE_COMMAND}
      -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
      -DSTAGE_DIR=${CMAKE_BINARY_DIR}/windows-zip
      -DZIP=${KIV_WINDOWS_ZIP}
      -DNAME=kivgsm-${PROJECT_VERSION}-${KIV_WINDOWS_NAME}
      -DDEF=${KIV_WINDOWS_DEF}
      -DMACHINE=${machine}
      -DVERSION=${PROJECT_VERSION}
      -DDLL=$<TARGET_FILE:kivgsm>
      -DIMPORT_LIBRARY=$<TARGET_LINKER_FILE:kivgsm>
      -DEXE=$<TARGET_FILE:kivgsm_tool>
      -DAUDIO_LIBS=${KIV_AUDIO_LIBS_MINGW}
      -DDLLTOOL=${KIV_LLVM_DLLTOOL}
      -DSTRIP=${CMAKE_STRIP}
      -P ${CMAKE_CURRENT_LIST_FILE}
    DEPENDS kivgsm kivgsm_tool
    COMMENT "Packing ${KIV_WINDOWS_ZIP}"
    VERBATIM)
  return()
endif()

# Packing.
foreach(doc LICENSE THIRD-PARTY-NOTICES README.md)
  if(NOT EXISTS ${SOURCE_DIR}/${doc})
    message(FATAL_ERROR "${doc} is missing at the top of the source tree (${SOURCE_DIR}); "
                        "the Windows zip is not made without it")
  endif()
endforeach()
if(NOT DLLTOOL)
  message(FATAL_ERROR "llvm-dlltool not found (Debian package llvm): it makes kivgsm.lib")
endif()
file(GLOB audio_dlls ${AUDIO_LIBS}/bin/*.dll)
list(LENGTH audio_dlls audio_dll_count)
if(NOT audio_dll_count EQUAL 2)
  message(FATAL_ERROR "expected libsndfile's and libsoxr's DLLs in ${AUDIO_LIBS}/bin, found: ${audio_dlls}")
endif()

set(root ${STAGE_DIR}/${NAME})
file(REMOVE_RECURSE ${STAGE_DIR})
file(REMOVE ${ZIP})
file(MAKE_DIRECTORY ${root}/bin ${root}/include ${root}/lib ${root}/licenses)
file(COPY ${DLL} ${EXE} ${audio_dlls} DESTINATION ${root}/bin)
# Without their symbol tables (the build's own copies keep them).
file(GLOB modules ${root}/bin/*)
execute_process(COMMAND ${STRIP} --strip-unneeded ${modules} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${STRIP} failed")
endif()
file(COPY ${SOURCE_DIR}/include/kivgsm.h DESTINATION ${root}/include)
file(COPY_FILE ${IMPORT_LIBRARY} ${root}/lib/libkivgsm.dll.a)
# An import library in the short format that MSVC's link and lld-link read,
# from the same list of the five names (-k: on x86, the decorated __stdcall
# symbols imported under the undecorated names).
execute_process(COMMAND ${DLLTOOL} -m ${MACHINE} -d ${DEF} -k -l ${root}/lib/kivgsm.lib
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "llvm-dlltool failed to make kivgsm.lib")
endif()
file(COPY ${AUDIO_LIBS}/licenses/ DESTINATION ${root}/licenses)
file(COPY ${SOURCE_DIR}/LICENSE ${SOURCE_DIR}/THIRD-PARTY-NOTICES DESTINATION ${root})
# The README for Windows users, with Windows line ends.
file(READ ${SOURCE_DIR}/doc/windows-readme.txt readme)
string(REPLACE "\n" "\r\n" readme "${readme}")
file(WRITE ${root}/README.txt "${readme}")
file(COPY ${SOURCE_DIR}/bindings/csharp/Kivgsm.cs DESTINATION ${root}/bindings)
# find_package(kivgsm) on the unpacked folder.
string(REGEX MATCH "^[0-9]+" VERSION_MAJOR "${VERSION}")
# The width of the projects the package answers: the DLL's.
if(MACHINE STREQUAL "i386")
  set(POINTER_BYTES 4)
else()
  set(POINTER_BYTES 8)
endif()
math(EXPR POINTER_BITS "${POINTER_BYTES} * 8")
configure_file(${SOURCE_DIR}/cmake/windows-zip-config.cmake.in ${root}/lib/cmake/kivgsm/kivgsmConfig.cmake @ONLY)
configure_file(${SOURCE_DIR}/cmake/windows-zip-config-version.cmake.in
               ${root}/lib/cmake/kivgsm/kivgsmConfigVersion.cmake @ONLY)

execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip ${NAME}
                WORKING_DIRECTORY ${STAGE_DIR} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "packing ${ZIP} failed")
endif()
message(STATUS "${ZIP}")
