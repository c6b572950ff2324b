# Installs the build into a scratch prefix, imports the installed package and
# runs the installed `qrx` command (run by the pyqrx_install test).
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
set(_pkg ${PREFIX}/${DEST}/pyqrx)
file(GLOB _so ${_pkg}/_pyqrx*.so)
foreach(_f __init__.py __init__.pyi py.typed __main__.py cli/__init__.py)
  if(NOT EXISTS ${_pkg}/${_f})
    message(FATAL_ERROR "${_f} missing under ${_pkg}")
  endif()
endforeach()
if(NOT _so)
  message(FATAL_ERROR "the extension _pyqrx is missing under ${_pkg}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${PREFIX}/${DEST}
                        ${PYTHON} -c "import os.path, sys, pyqrx\nsys.exit(os.path.dirname(pyqrx.__file__) != '${_pkg}' or pyqrx.fieldId('bid') != 0)"
                WORKING_DIRECTORY ${PREFIX} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the installed package does not import")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${PREFIX}/${DEST}
                        ${PREFIX}/bin/qrx fields ^bid$
                WORKING_DIRECTORY ${PREFIX} RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out MATCHES "bid")
  message(FATAL_ERROR "the installed qrx command does not run: ${rc} ${out}")
endif()
