# The media libraries are never linked into the product. This file gives:
#   pelorix::media_headers  - include paths of the installed FFmpeg headers, nothing to link
#   pelorix::media_link     - the libraries linked the ordinary way, for tools and tests only
#   pelorix_library_folder  - bin/lib/ with links to the installed libraries under the names
#                             the binding loads (versioned "libavcodec.so.59" and plain "libavcodec.so")

set(PELORIX_MEDIA_MODULES libavcodec libavformat libavutil libswscale libavfilter libswresample)
pkg_check_modules(MEDIA REQUIRED IMPORTED_TARGET ${PELORIX_MEDIA_MODULES})

add_library(pelorix_media_headers INTERFACE)
target_include_directories(pelorix_media_headers SYSTEM INTERFACE ${MEDIA_INCLUDE_DIRS})
add_library(pelorix::media_headers ALIAS pelorix_media_headers)

add_library(pelorix_media_link INTERFACE)
target_link_libraries(pelorix_media_link INTERFACE PkgConfig::MEDIA)
add_library(pelorix::media_link ALIAS pelorix_media_link)

set(PELORIX_LIBRARY_FOLDER ${CMAKE_BINARY_DIR}/bin/lib)
set(_links)
foreach(module IN LISTS PELORIX_MEDIA_MODULES)
  pkg_get_variable(_libdir ${module} libdir)
  # The interface number is the major of the module's version (59.37.100 -> 59).
  string(TOUPPER ${module} _upper)
  pkg_check_modules(_ver_${module} QUIET ${module})
  string(REGEX MATCH "^[0-9]+" _major "${_ver_${module}_VERSION}")
  set(_versioned ${module}.so.${_major})
  set(_plain ${module}.so)
  foreach(name IN ITEMS ${_versioned} ${_plain})
    if(NOT EXISTS ${_libdir}/${_versioned})
      message(FATAL_ERROR "${module}: ${_libdir}/${_versioned} not found")
    endif()
    list(APPEND _links ${PELORIX_LIBRARY_FOLDER}/${name})
    add_custom_command(OUTPUT ${PELORIX_LIBRARY_FOLDER}/${name}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PELORIX_LIBRARY_FOLDER}
      COMMAND ${CMAKE_COMMAND} -E create_symlink ${_libdir}/${_versioned} ${PELORIX_LIBRARY_FOLDER}/${name}
      COMMENT "Linking ${name} into the library folder" VERBATIM)
  endforeach()
  set(PELORIX_${_upper}_INTERFACE ${_major})
endforeach()
add_custom_target(pelorix_library_folder ALL DEPENDS ${_links})
