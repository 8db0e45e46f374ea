# A user-mode module (a DLL on Windows): a shared object named as the DLL,
# exporting only what its sources mark VEXA_DLL_EXPORT, with its Win32 calls
# left for the platform's Win32 library that the loading program has loaded.
function(vexa_user_module target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_library(${target} MODULE ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${target} PRIVATE vexa_win32 ${ARG_LIBRARIES})
  target_link_options(${target} PRIVATE -Wl,--no-undefined)
endfunction()
