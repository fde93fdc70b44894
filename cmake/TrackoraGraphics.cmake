# GLFW, glad (generated at build time), Dear ImGui with its GLFW and OpenGL 3
# backends, glm and stb, all from Debian's packages.
find_package(glfw3 3.3 CONFIG)
if(NOT glfw3_FOUND)
  message(FATAL_ERROR "GLFW 3.3 not found. On Debian: apt-get install libglfw3-dev")
endif()
find_package(glm CONFIG)
if(NOT glm_FOUND)
  message(FATAL_ERROR "glm not found. On Debian: apt-get install libglm-dev")
endif()
pkg_check_modules(IMGUI REQUIRED IMPORTED_TARGET imgui)

find_program(GLAD_EXECUTABLE glad)
if(NOT GLAD_EXECUTABLE)
  message(FATAL_ERROR "glad 2 not found. On Debian: apt-get install python3-glad")
endif()
set(GLAD_DIR ${CMAKE_BINARY_DIR}/glad)
add_custom_command(
  OUTPUT ${GLAD_DIR}/src/gl.c ${GLAD_DIR}/include/glad/gl.h
  COMMAND ${GLAD_EXECUTABLE} --quiet --reproducible --api gl:core=4.6
          --extensions "" --out-path ${GLAD_DIR} c
  COMMENT "Generating the OpenGL 4.6 core loader with glad"
  VERBATIM)
add_library(trackora_glad STATIC ${GLAD_DIR}/src/gl.c)
target_include_directories(trackora_glad SYSTEM PUBLIC ${GLAD_DIR}/include)
target_link_libraries(trackora_glad PUBLIC ${CMAKE_DL_LIBS})

set(IMGUI_BACKENDS_DIR /usr/share/doc/libimgui-dev/examples/backends)
if(NOT EXISTS ${IMGUI_BACKENDS_DIR}/imgui_impl_glfw.cpp)
  message(FATAL_ERROR "Dear ImGui backends not found in ${IMGUI_BACKENDS_DIR}. On Debian: apt-get install libimgui-dev")
endif()
add_library(trackora_imgui STATIC
  ${IMGUI_BACKENDS_DIR}/imgui_impl_glfw.cpp
  ${IMGUI_BACKENDS_DIR}/imgui_impl_opengl3.cpp)
target_include_directories(trackora_imgui SYSTEM PUBLIC
  ${IMGUI_INCLUDE_DIRS} /usr/include/imgui/backends)
target_link_libraries(trackora_imgui PUBLIC PkgConfig::IMGUI glfw ${CMAKE_DL_LIBS})
