cmake_policy(VERSION 3.25)
# Driven by the installed_package_consumer test; see CMakeLists.txt beside it.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# Nothing is installed beyond the documented layout.
file(GLOB_RECURSE installed RELATIVE ${prefix} ${prefix}/*)
set(python_module "")
foreach(path IN LISTS installed)
  if(PYTHON AND path MATCHES "^${PYTHON_SITE}/dctlab\\.cpython-[^/]+\\.so$")
    set(python_module ${path})
  elseif(NOT path MATCHES "^(include/dctlab/[a-z]+\\.h|lib/lib[a-z]+\\.a|lib/cmake/dctlab/[A-Za-z-]+\\.cmake|bin/[a-z]+)$")
    message(FATAL_ERROR "unexpected installed file: ${path}")
  endif()
endforeach()

# The Python package imports from the prefix alone, as the README shows.
if(PYTHON)
  if(NOT python_module)
    message(FATAL_ERROR "no Python package under ${prefix}/${PYTHON_SITE}")
  endif()
  run(${CMAKE_COMMAND} -E env PYTHONPATH=${prefix}/${PYTHON_SITE} PYTHONDONTWRITEBYTECODE=1
      ${PYTHON} -c "import dctlab\nassert dctlab.__file__.startswith('${prefix}')\nprint(dctlab.quant_matrix(1)[7, 7])")
  if(NOT last_output MATCHES "^15")
    message(FATAL_ERROR "the installed Python package gave ${last_output}")
  endif()
endif()


string(REPLACE ";" " " flags "${EXTRA_FLAGS}")
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    "-DCMAKE_C_FLAGS=${flags}" "-DCMAKE_CXX_FLAGS=${flags}"
    "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
foreach(program consumer_c consumer_cxx)
  run(${WORK_DIR}/build/${program})
  message(STATUS "${program}:\n${last_output}")
  if(NOT last_output MATCHES "consumer ok")
    message(FATAL_ERROR "${program} did not finish: ${last_output}")
  endif()
endforeach()
