# Tests of the Windows build, run under Wine from the Linux host.
set(kiv_wine_runner ${CMAKE_BINARY_DIR}/wine-run.sh)
add_test(NAME Wine.Start COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/windows/wine_server.sh start ${kiv_wine_runner})
add_test(NAME Wine.Stop COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/windows/wine_server.sh stop ${kiv_wine_runner})
set_tests_properties(Wine.Start PROPERTIES FIXTURES_SETUP wine TIMEOUT 120)
set_tests_properties(Wine.Stop PROPERTIES FIXTURES_CLEANUP wine)

# The winmm backend's stop order against a fake of winmm that keeps
# Windows' documented rules.
kiv_test(winmm_backend_test windows/winmm_backend_test.cpp)

# A host program in C that loads kivgsm.dll by name.
add_executable(dll_host windows/dll_host.c)
target_link_libraries(dll_host PRIVATE version)
target_link_options(dll_host PRIVATE -municode)
add_dependencies(dll_host kivgsm)

# kivgsm.dll imports system DLLs only, and exports the five names only.
add_test(NAME Windows.DllImportsAndExports
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/windows/check_dll.sh $<TARGET_FILE:kivgsm>)

# The DLL loaded by name: version resource, bad inputs, and every output
# byte-identical to the Linux build's for the same input (when the Linux
# build's tool is named by KIV_NATIVE_TOOL).
set(KIV_NATIVE_TOOL "" CACHE FILEPATH "kivgsm tool of a native Linux build, to compare outputs with")
add_test(NAME Windows.DllHostConvertsLikeLinux
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/windows/dll_host_convert.sh ${kiv_wine_runner}
          $<TARGET_FILE:dll_host> ${PROJECT_SOURCE_DIR}/data/speech_8k.raw "${KIV_NATIVE_TOOL}")
set_tests_properties(Windows.DllHostConvertsLikeLinux PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300)
