# SPDX-License-Identifier: MIT
# Finds libgsm (the GSM 06.10 full-rate codec), header <gsm.h>.
# Defines GSM_FOUND, GSM_INCLUDE_DIR, GSM_LIBRARY and the imported target GSM::GSM.
find_path(GSM_INCLUDE_DIR NAMES gsm.h PATH_SUFFIXES gsm)
find_library(GSM_LIBRARY NAMES gsm)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(GSM REQUIRED_VARS GSM_LIBRARY GSM_INCLUDE_DIR)
if(GSM_FOUND AND NOT TARGET GSM::GSM)
  add_library(GSM::GSM UNKNOWN IMPORTED)
  set_target_properties(GSM::GSM PROPERTIES
    IMPORTED_LOCATION "${GSM_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${GSM_INCLUDE_DIR}")
endif()
mark_as_advanced(GSM_INCLUDE_DIR GSM_LIBRARY)
