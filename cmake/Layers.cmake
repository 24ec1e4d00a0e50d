# Each folder of the sources is one static library, a layer, and its link edges are the layers it
# may use. Its headers are included as "<folder>/<name>.h" from an include root that holds that
# folder alone, so a library sees the headers of itself and of the layers it links, and nothing
# else: an include across layers that are not linked fails the build, not a review.
#
# Every project that includes this (the updater, the release tool, the fuzz target) defines an
# interface target project_options with its own compiler settings, which every layer takes.

get_filename_component(layer_source_root ${CMAKE_CURRENT_LIST_DIR}/.. REALPATH)

# The include root of one folder: a folder of the build that holds only a link to it.
function(get_layer_include_root folder out)
  set(root ${CMAKE_BINARY_DIR}/layers/${folder})
  if(NOT EXISTS ${root}/${folder})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${layer_source_root}/${folder} ${root}/${folder} SYMBOLIC)
  endif()
  set(${out} ${root} PARENT_SCOPE)
endfunction()

# The library of a folder: orvandel_<folder> (some folder names, such as install, are CMake's own).
function(get_layer_target folder out)
  set(${out} orvandel_${folder} PARENT_SCOPE)
endfunction()

# add_layer(FOLDER SOURCES files... [LAYERS folders...] [LIBRARIES libraries...]): the library of
# the folder that calls this, linking the libraries of the layers named and the other libraries.
function(add_layer folder)
  cmake_parse_arguments(PARSE_ARGV 1 layer "" "" "SOURCES;LAYERS;LIBRARIES")
  get_layer_target(${folder} target)
  add_library(${target} STATIC ${layer_SOURCES})
  get_layer_include_root(${folder} root)
  target_include_directories(${target} PUBLIC ${root})
  target_link_libraries(${target} PUBLIC project_options)
  foreach(used IN LISTS layer_LAYERS)
    get_layer_target(${used} used_target)
    target_link_libraries(${target} PUBLIC ${used_target})
  endforeach()
  target_link_libraries(${target} PUBLIC ${layer_LIBRARIES})
endfunction()
