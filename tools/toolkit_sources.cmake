# The tool's file readers: the WAVE reader and repair, which the fuzz
# build compiles on their own.
set(KIV_TOOLKIT_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/wave_info.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wave_repair.cpp
  ${CMAKE_CURRENT_LIST_DIR}/byte_source.cpp)
