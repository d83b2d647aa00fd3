# Project-wide build settings and the helpers that place every deliverable
# where it lands in the installed tree.

add_compile_options(-Wall -Wextra -Wno-unused-parameter)

if(OV_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(OV_SANITIZE_THREAD)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

include(GNUInstallDirs)

set(OV_PLUGIN_VERSION_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/plugin.map)

# ov_add_plugin(<target> <plugin-dir-name> SOURCES ... [LIBS ...])
# A GStreamer plug-in: lands in <out>/plugins/<name>/, finds the metadata
# library through its run path, and carries its own copy of the frame/matrix
# conversion functions.
function(ov_add_plugin target name)
  cmake_parse_arguments(P "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${target} MODULE ${P_SOURCES})
  target_link_libraries(${target} PRIVATE gstovmeta ov_opencv_utils ${P_LIBS})
  target_compile_definitions(${target} PRIVATE
    PACKAGE="${name}" VERSION="${PROJECT_VERSION}"
    GST_PACKAGE_NAME="orvane video analytics" GST_PACKAGE_ORIGIN="https://orvane.invalid")
  set_target_properties(${target} PROPERTIES
    PREFIX "lib"
    LIBRARY_OUTPUT_DIRECTORY ${OV_OUT_DIR}/plugins/${name}
    BUILD_WITH_INSTALL_RPATH ON
    INSTALL_RPATH "$ORIGIN/../../common/meta:$ORIGIN/../../common/opencv")
  target_link_options(${target} PRIVATE -Wl,--version-script=${OV_PLUGIN_VERSION_SCRIPT})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${OV_PLUGIN_VERSION_SCRIPT})
  install(TARGETS ${target} LIBRARY DESTINATION plugins/${name})
endfunction()
