# A driver image: a shared object whose only export is DriverEntry, with its
# Windows calls left for the platform library the machine has loaded.
function(vexa_driver_image target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_library(${target} MODULE ${ARG_SOURCES})
  if(NOT ARG_SOURCES)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${target} PRIVATE vexa_platform ${ARG_LIBRARIES})
  # clang leaves its sanitizer runtime to the program, so a fuzzing build's
  # images resolve those symbols at load time.
  if(NOT VEXA_FUZZ)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()
