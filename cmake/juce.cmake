# JUCE 7 from Debian's juce-modules-source-data, which ships module sources
# and no CMake package: each module's unity file is compiled here into one
# static library, vexa_juce. Only the control panel and its tests link it.
set(VEXA_JUCE_MODULES_DIR /usr/share/juce/modules CACHE PATH "Folder holding the JUCE 7 modules")
if(NOT EXISTS ${VEXA_JUCE_MODULES_DIR}/juce_gui_basics/juce_gui_basics.cpp)
  message(FATAL_ERROR "JUCE modules not found in ${VEXA_JUCE_MODULES_DIR}: run scripts/setup "
                      "(it installs juce-modules-source-data)")
endif()

find_package(PkgConfig REQUIRED)
pkg_check_modules(VEXA_JUCE_DEPS REQUIRED IMPORTED_TARGET freetype2 libpng libjpeg zlib)

set(vexa_juce_modules juce_core juce_events juce_graphics juce_data_structures juce_gui_basics)

add_library(vexa_juce STATIC)
foreach(module IN LISTS vexa_juce_modules)
  target_sources(vexa_juce PRIVATE ${VEXA_JUCE_MODULES_DIR}/${module}/${module}.cpp)
  target_compile_definitions(vexa_juce PUBLIC JUCE_MODULE_AVAILABLE_${module}=1)
endforeach()

# PUBLIC, so every file that includes a JUCE header sees the values JUCE was
# built with: a mismatch is an ODR violation that shows only at run time.
target_compile_definitions(vexa_juce PUBLIC
  JUCE_GLOBAL_MODULE_SETTINGS_INCLUDED=1
  JUCE_STANDALONE_APPLICATION=1
  JUCE_USE_CURL=0
  JUCE_WEB_BROWSER=0
  JUCE_MODAL_LOOPS_PERMITTED=1
  # Debian removed the bundled codecs: the system's libpng, libjpeg and zlib serve.
  JUCE_INCLUDE_PNGLIB_CODE=0
  JUCE_INCLUDE_JPEGLIB_CODE=0
  JUCE_INCLUDE_ZLIB_CODE=0
  JUCE_DISPLAY_SPLASH_SCREEN=0
  # Assertions are checked in every build and go to the current juce::Logger,
  # so the tests see each one that trips.
  JUCE_LOG_ASSERTIONS=1
  $<$<CONFIG:Debug>:DEBUG=1>)

target_include_directories(vexa_juce SYSTEM PUBLIC ${VEXA_JUCE_MODULES_DIR})
# JUCE's own sources build with warnings off (g++ 12 also warns falsely in
# juce_ListenerList.h); our targets keep theirs.
target_compile_options(vexa_juce PRIVATE -w)
target_link_libraries(vexa_juce PUBLIC PkgConfig::VEXA_JUCE_DEPS Threads::Threads ${CMAKE_DL_LIBS} rt)

# Under the sanitizers the X libraries that JUCE opens at run time are linked
# as well, so they stay loaded when JUCE closes them at exit: LeakSanitizer
# then still sees what their globals hold and can name their frames.
if(VEXA_SANITIZE)
  find_package(X11 REQUIRED)
  target_link_libraries(vexa_juce PUBLIC -Wl,--push-state,--no-as-needed X11::X11 X11::Xext X11::Xcursor
                        X11::Xinerama X11::Xrandr X11::Xrender -Wl,--pop-state)
endif()
