# Project-wide build settings and the helpers that place every deliverable
# where it lands in the installed tree.

# Warning and sanitizer flags are the host compilers' (C and C++): nvcc
# refuses them ("Unknown option '-Wall'"), so CUDA sources get their own.
set(OV_HOST_LANGS "$<COMPILE_LANGUAGE:C,CXX>")
add_compile_options("$<${OV_HOST_LANGS}:-Wall;-Wextra;-Wno-unused-parameter>")
add_compile_options("$<$<COMPILE_LANGUAGE:CUDA>:-Xcompiler=-Wall,-Wextra,-Wno-unused-parameter>")

if(OV_SANITIZE)
  add_compile_options(
    "$<${OV_HOST_LANGS}:-fsanitize=address,undefined;-fno-omit-frame-pointer;-fno-sanitize-recover=undefined>")
  add_link_options(-fsanitize=address,undefined)
endif()
if(OV_SANITIZE_THREAD)
  add_compile_options("$<${OV_HOST_LANGS}:-fsanitize=thread;-fno-omit-frame-pointer>")
  add_link_options(-fsanitize=thread)
endif()

# The GPUs the device code is built for.  The board's CUDA 10.2 builds for
# the Jetson GPUs (Nano 5.3, TX2 6.2, Xavier 7.2); a newer toolkit (one that
# only compiles the kernels here) has dropped those and builds for 7.5.
# Either is overridden by setting CMAKE_CUDA_ARCHITECTURES.
macro(ov_enable_cuda)
  if(NOT DEFINED CMAKE_CUDA_ARCHITECTURES)
    include(CheckLanguage)
    check_language(CUDA)
    set(_ov_cuda_archs "53;62;72")
    if(CMAKE_CUDA_COMPILER)
      execute_process(COMMAND ${CMAKE_CUDA_COMPILER} --version OUTPUT_VARIABLE _ov_nvcc_version)
      if(_ov_nvcc_version MATCHES "release ([0-9]+)\\." AND CMAKE_MATCH_1 GREATER_EQUAL 12)
        set(_ov_cuda_archs "75")
      endif()
    endif()
    set(CMAKE_CUDA_ARCHITECTURES "${_ov_cuda_archs}" CACHE STRING "GPU architectures of the device code")
  endif()
  enable_language(CUDA)
endmacro()

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

# libFuzzer targets: built with clang 14 (address and undefined sanitizers,
# no recovery) straight from their sources, so the parsers under test carry
# the fuzzer's coverage instrumentation.  Without clang none is built.
find_program(OV_CLANGXX NAMES clang++-14 clang++)

# ov_add_fuzzer(<name> SOURCES ... [INCLUDES dirs...] [LINK args...] [DEPENDS ...])
# Builds <current build dir>/fuzz/<name>.  LINK items follow the sources on the
# command line (libraries, generator expressions allowed); DEPENDS names extra
# files or targets to rebuild after.  The headers of the project's INCLUDES
# directories (and their sub-directories) count as dependencies.  ov_add_fuzz_test() finds the binary by <name>.
function(ov_add_fuzzer name)
  if(NOT OV_CLANGXX)
    return()
  endif()
  cmake_parse_arguments(F "" "" "SOURCES;INCLUDES;LINK;DEPENDS" ${ARGN})
  set(out ${CMAKE_CURRENT_BINARY_DIR}/fuzz/${name})
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/fuzz)
  set(sources "")
  foreach(s IN LISTS F_SOURCES)
    get_filename_component(abs ${s} ABSOLUTE)
    list(APPEND sources ${abs})
  endforeach()
  set(includes "")
  set(headers "")
  foreach(d IN LISTS F_INCLUDES)
    list(APPEND includes -I${d})
    string(FIND "${d}" "${PROJECT_SOURCE_DIR}/" in_tree)
    if(in_tree EQUAL 0)
      file(GLOB h ${d}/*.h ${d}/*/*.h)
      list(APPEND headers ${h})
    endif()
  endforeach()
  add_custom_command(OUTPUT ${out}
    COMMAND ${OV_CLANGXX} -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined
            -fno-sanitize-recover=undefined ${includes} ${sources} ${F_LINK} -o ${out}
    DEPENDS ${sources} ${headers} ${F_DEPENDS}
    COMMENT "Building the fuzz target ${name}"
    COMMAND_EXPAND_LISTS VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${out})
  set_property(GLOBAL PROPERTY OV_FUZZER_${name} ${out})
endfunction()
