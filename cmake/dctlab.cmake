# Build settings shared by every target of the project.
#
# Floating-point contraction stays off everywhere: the colour conversion and
# the transforms are defined by their exact order of operations, and a fused
# multiply-add would change results.
set(DCTLAB_INTERNAL_DIR ${PROJECT_SOURCE_DIR}/src/internal)

function(dctlab_target_settings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -ffp-contract=off)
  if(DCTLAB_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  target_include_directories(${target} PRIVATE ${DCTLAB_INTERNAL_DIR})
endfunction()

if(DCTLAB_SANITIZE)
  set(DCTLAB_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
                             -fno-omit-frame-pointer)
  add_compile_options(${DCTLAB_SANITIZER_FLAGS})
  add_link_options(${DCTLAB_SANITIZER_FLAGS})
endif()

# dctlab_add_module(NAME SOURCES ... HEADERS ... [DEPS ...] [PRIVATE_DEPS ...])
# One static library per module, installed to lib/ with its public headers in
# include/dctlab/ and exported as dctlab::NAME. A module's folder holds its
# public headers in include/ (HEADERS name them) and its private rest beside
# them: the build tree shows others only include/. Where a benchmark or test
# truly needs a private part, it links NAME_internal, which adds the folder.
function(dctlab_add_module name)
  cmake_parse_arguments(M "" "" "SOURCES;HEADERS;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${M_SOURCES} ${M_HEADERS})
  add_library(dctlab::${name} ALIAS ${name})
  dctlab_target_settings(${name})
  target_include_directories(${name}
    PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
           $<INSTALL_INTERFACE:include/dctlab>
    PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  if(M_DEPS)
    target_link_libraries(${name} PUBLIC ${M_DEPS})
  endif()
  # Build-tree only: nothing of these reaches the installed package.
  foreach(dep IN LISTS M_PRIVATE_DEPS)
    target_link_libraries(${name} PRIVATE $<BUILD_INTERFACE:${dep}>)
  endforeach()
  add_library(${name}_internal INTERFACE)
  target_include_directories(${name}_internal INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name}_internal INTERFACE ${name} ${M_PRIVATE_DEPS})
  install(TARGETS ${name} EXPORT dctlabTargets ARCHIVE DESTINATION lib)
  install(FILES ${M_HEADERS} DESTINATION include/dctlab)
endfunction()
