# SPDX-License-Identifier: MIT
# Tests of the Windows build, run under Wine from the Linux host.
set(kiv_wine_runner ${CMAKE_BINARY_DIR}/wine-run.sh)
add_test(NAME Wine.Start COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/platform/windows/wine_server.sh start ${kiv_wine_runner})
add_test(NAME Wine.Stop COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/platform/windows/wine_server.sh stop ${kiv_wine_runner})
set_tests_properties(Wine.Start PROPERTIES FIXTURES_SETUP wine TIMEOUT 120)
set_tests_properties(Wine.Stop PROPERTIES FIXTURES_CLEANUP wine)

# The winmm backend's stop order against a fake of winmm that keeps
# Windows' documented rules.
kiv_test(winmm_backend_test platform/windows/winmm_backend_test.cpp)

# A host program in C that loads kivgsm.dll by name.
add_executable(dll_host platform/windows/dll_host.c)
target_include_directories(dll_host PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(dll_host PRIVATE version)
target_link_options(dll_host PRIVATE -municode)
add_dependencies(dll_host kivgsm)

# Reads a console back, for the tool's messages on a console.
add_executable(console_host platform/windows/console_host.c)
target_link_options(console_host PRIVATE -municode)

# kivgsm.dll imports system DLLs only, and exports the five names only.
add_test(NAME Windows.DllImportsAndExports
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/platform/windows/check_dll.sh $<TARGET_FILE:kivgsm>)

# The DLL loaded by name: version resource, bad inputs, and every output
# byte-identical to the Linux build's for the same input (when the Linux
# build's tool is named by KIV_NATIVE_TOOL).
set(KIV_NATIVE_BUILD "" CACHE PATH "A native Linux build tree, to compare outputs with and check recordings")
set(native_tool "")
if(KIV_NATIVE_BUILD)
  set(native_tool ${KIV_NATIVE_BUILD}/tools/kivgsm)
endif()
add_test(NAME Windows.DllHostConvertsLikeLinux
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/platform/windows/dll_host_convert.sh ${kiv_wine_runner}
          $<TARGET_FILE:dll_host> ${PROJECT_SOURCE_DIR}/data/speech_8k.raw "${native_tool}")
set_tests_properties(Windows.DllHostConvertsLikeLinux PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300)

# Recording under Wine through a real sound server.
find_program(KIV_PULSEAUDIO pulseaudio)
if(KIV_NATIVE_BUILD AND KIV_PULSEAUDIO)
  add_test(NAME Windows.DllRecordsThroughASoundServer
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/platform/windows/wine_record_test.sh ${kiv_wine_runner}
            $<TARGET_FILE:dll_host> ${KIV_NATIVE_BUILD} $<TARGET_FILE:kivgsm_tool>)
  set_tests_properties(Windows.DllRecordsThroughASoundServer PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300)
endif()

add_test(NAME Windows.ToolExe
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/platform/windows/tool_exe_test.sh ${kiv_wine_runner}
          $<TARGET_FILE:kivgsm_tool> ${PROJECT_SOURCE_DIR}/data/speech_8k.raw "${native_tool}"
          $<TARGET_FILE:console_host>)
set_tests_properties(Windows.ToolExe PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 120)

# The Windows zip (target windows_zip), made afresh from this build and
# unpacked into an empty folder for each test; its programs are compared
# with the Linux build's tool.
find_program(KIV_SOX sox)
if(KIV_NATIVE_BUILD AND KIV_SOX)
  add_test(NAME Windows.Zip.Pack COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target windows_zip)
  set_tests_properties(Windows.Zip.Pack PROPERTIES FIXTURES_SETUP windows_zip TIMEOUT 300)
  set(zip_test bash ${CMAKE_CURRENT_SOURCE_DIR}/platform/windows/zip_test.sh)
  set(zip_args ${kiv_wine_runner} ${KIV_WINDOWS_ZIP} ${KIV_NATIVE_BUILD})
  add_test(NAME Windows.Zip.Contents COMMAND ${zip_test} contents ${zip_args})
  add_test(NAME Windows.Zip.DllHost COMMAND ${zip_test} dll-host ${zip_args}
                                            $<TARGET_FILE:dll_host> ${PROJECT_SOURCE_DIR}/data/speech_8k.raw)
  add_test(NAME Windows.Zip.Tool COMMAND ${zip_test} tool ${zip_args} ${PROJECT_SOURCE_DIR}/data/speech_8k.raw)
  add_test(NAME Windows.Zip.ImportLibraries COMMAND ${zip_test} import-libs ${zip_args}
                                                    ${PROJECT_SOURCE_DIR}/data/speech_8k.raw)
  add_test(NAME Windows.Zip.LinkHosts COMMAND ${zip_test} link-hosts ${zip_args} ${PROJECT_SOURCE_DIR}/data/speech_8k.raw)
  set_tests_properties(Windows.Zip.LinkHosts PROPERTIES FIXTURES_REQUIRED windows_zip)
  add_test(NAME Windows.Zip.FindPackage COMMAND ${zip_test} find-package ${zip_args}
                                                ${PROJECT_SOURCE_DIR}/data/speech_8k.raw
                                                ${CMAKE_CURRENT_SOURCE_DIR}/consumer
                                                ${PROJECT_SOURCE_DIR}/cmake/mingw-w64-${CMAKE_SYSTEM_PROCESSOR}.cmake)
  set_tests_properties(Windows.Zip.Contents PROPERTIES FIXTURES_REQUIRED windows_zip)
  set_tests_properties(Windows.Zip.DllHost Windows.Zip.Tool Windows.Zip.ImportLibraries Windows.Zip.FindPackage
                       PROPERTIES FIXTURES_REQUIRED "wine;windows_zip" TIMEOUT 300)
endif()

# What needs no Wine: the DLL's imports and exports, and the zip's contents
# and import libraries. A machine that cannot run the build's programs
# under Wine (a kernel without 32-bit x86 support, for the x86 build) runs
# these alone: ctest -L static.
set(kiv_static_tests Windows.DllImportsAndExports)
if(TEST Windows.Zip.Pack)
  list(APPEND kiv_static_tests Windows.Zip.Pack Windows.Zip.Contents Windows.Zip.LinkHosts)
endif()
set_tests_properties(${kiv_static_tests} PROPERTIES LABELS static)
