# Installs the build into a scratch prefix and imports the installed module
# (run by the pyqrx_install test).
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
file(GLOB _so ${PREFIX}/${DEST}/pyqrx*.so)
if(NOT _so OR NOT EXISTS ${PREFIX}/${DEST}/pyqrx.pyi)
  message(FATAL_ERROR "pyqrx or pyqrx.pyi missing under ${PREFIX}/${DEST}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${PREFIX}/${DEST}
                        ${PYTHON} -c "import os.path, sys, pyqrx\nsys.exit(os.path.dirname(pyqrx.__file__) != '${PREFIX}/${DEST}')"
                WORKING_DIRECTORY ${PREFIX} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the installed module does not import")
endif()
