# Finds the OpenCV 4 modules shipped as separate Debian -dev packages
# (libopencv-core-dev, ...), which carry neither a CMake package nor a
# pkg-config file, and makes imported targets OpenCV::<module>.
find_path(OpenCVModules_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4)

set(OpenCVModules_FOUND_ALL TRUE)
foreach(mod IN LISTS OpenCVModules_FIND_COMPONENTS)
  find_library(OpenCVModules_${mod}_LIBRARY NAMES opencv_${mod})
  if(OpenCVModules_${mod}_LIBRARY AND OpenCVModules_INCLUDE_DIR)
    set(OpenCVModules_${mod}_FOUND TRUE)
    if(NOT TARGET OpenCV::${mod})
      add_library(OpenCV::${mod} UNKNOWN IMPORTED)
      set_target_properties(OpenCV::${mod} PROPERTIES
        IMPORTED_LOCATION "${OpenCVModules_${mod}_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${OpenCVModules_INCLUDE_DIR}")
    endif()
  else()
    set(OpenCVModules_${mod}_FOUND FALSE)
  endif()
endforeach()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(OpenCVModules
  REQUIRED_VARS OpenCVModules_INCLUDE_DIR
  HANDLE_COMPONENTS)
mark_as_advanced(OpenCVModules_INCLUDE_DIR)
