# The resources every Windows program carries: its icon (packaging/windows/skyhelm.ico, drawn by
# tools/make-icon.py) and a version resource with the project version, the product and publisher
# names and what the program is, from packaging/windows/program.rc.in, compiled by windres.

set(SKYHELM_PUBLISHER "Skyhelm")
set(SKYHELM_COPYRIGHT "Copyright (C) 2026 the Skyhelm developers")
set(SKYHELM_ICON ${PROJECT_SOURCE_DIR}/packaging/windows/skyhelm.ico)

# Adds the resources to target (an executable or a DLL); description is the FileDescription,
# the name Windows shows for the program. Does nothing outside Windows.
function(skyhelm_windows_resources target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "MODULE_LIBRARY")
    set(SKYHELM_RC_FILETYPE VFT_DLL)
    set(suffix .dll)
  else()
    set(SKYHELM_RC_FILETYPE VFT_APP)
    set(suffix .exe)
  endif()
  get_target_property(SKYHELM_RC_NAME ${target} OUTPUT_NAME)
  if(NOT SKYHELM_RC_NAME)
    set(SKYHELM_RC_NAME ${target})
  endif()
  set(SKYHELM_RC_FILE ${SKYHELM_RC_NAME}${suffix})
  set(SKYHELM_RC_DESCRIPTION ${description})
  set(SKYHELM_RC_ICON ${SKYHELM_ICON})
  set(rc ${CMAKE_BINARY_DIR}/resources/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/program.rc.in ${rc} @ONLY)
  # windres reads the icon itself; the object is rebuilt when the icon changes.
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${SKYHELM_ICON})
  target_sources(${target} PRIVATE ${rc})
endfunction()
