# Runs the installed weldmesh, away from the build tree: its version, then one weld of a quad
# written as two triangles of three corners each.
# cmake -DWELDMESH=<installed tool> -DVERSION=<project version> -DWORK_DIR=<scratch>
#       [-DOPTIONS=<options for the weld>] -P this
execute_process(COMMAND ${WELDMESH} --version RESULT_VARIABLE status OUTPUT_VARIABLE version)
if(NOT status EQUAL 0 OR NOT version MATCHES "^weldmesh ${VERSION}\n")
  message(FATAL_ERROR "${WELDMESH} --version: exit status ${status}, printed\n${version}")
endif()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
file(WRITE ${WORK_DIR}/quad.obj
  "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3\nf 4 5 6\n")
execute_process(COMMAND ${WELDMESH} ${OPTIONS} quad.obj quad.ply WORKING_DIRECTORY ${WORK_DIR}
  RESULT_VARIABLE status OUTPUT_VARIABLE report ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT report MATCHES "total \\(1 mesh\\): 2 faces, 6 -> 4 vertices"
   OR NOT EXISTS ${WORK_DIR}/quad.ply)
  message(FATAL_ERROR "${WELDMESH} quad.obj quad.ply: exit status ${status}, printed\n"
                      "${report}${errors}")
endif()
