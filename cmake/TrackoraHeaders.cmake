# trackora_headers(TARGET FOLDER [HEADERS name.h...]): TARGET's headers, and
# only them, for TARGET and whatever links it. Includes name the folder
# ("model/Datapoint.h"), so each library gets a staging directory of its own
# in the build tree holding FOLDER as a link to the source folder (or, where
# two libraries share a folder, links to the HEADERS named); a source that
# includes a header of a library it does not link then fails to compile.
# A test of header-only arithmetic may stage those headers for itself.
set(TRACKORA_HEADER_STAGING ${CMAKE_BINARY_DIR}/include)

function(trackora_headers target folder)
  cmake_parse_arguments(ARG "" "" "HEADERS" ${ARGN})
  set(stage ${TRACKORA_HEADER_STAGING}/${target})
  set(staged ${stage}/${folder})
  # A folder link and a folder of file links must not meet when a list
  # is added or dropped: start from nothing each configure (removing a
  # link removes the link, never the source folder it points to).
  file(REMOVE_RECURSE ${staged})
  get_filename_component(parent ${staged} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  if(ARG_HEADERS)
    file(MAKE_DIRECTORY ${staged})
    foreach(header ${ARG_HEADERS})
      if(NOT EXISTS ${PROJECT_SOURCE_DIR}/${folder}/${header})
        message(FATAL_ERROR "${target}: ${folder}/${header} does not exist")
      endif()
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder}/${header} ${staged}/${header} SYMBOLIC)
    endforeach()
  else()
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${staged} SYMBOLIC)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${stage})
  elseif(type MATCHES "LIBRARY$")
    target_include_directories(${target} PUBLIC ${stage})
  else()
    target_include_directories(${target} PRIVATE ${stage})
  endif()
endfunction()
