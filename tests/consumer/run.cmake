# Installs the build tree into a fresh prefix, builds the consumer project
# against it and runs it. Called by CTest with BUILD_DIR, SOURCE_DIR, WORK_DIR,
# CXX_FLAGS and LINKER_FLAGS.
file(REMOVE_RECURSE ${WORK_DIR})
function(run)
    execute_process(COMMAND ${ARGV} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed (${result}): ${ARGV}")
    endif()
endfunction()
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
foreach(installed bin/rawscan bin/st2raw bin/rawimage bin/flux2raw share/man/man1/rawscan.1 share/man/man1/rawimage.1
                  share/man/man1/flux2raw.1 include/mfm/mfm.h include/mfm/scanner.h include/mfm/flux.h lib/libmfm.a lib/libmfm_buffers.a
                  lib/cmake/mfm/mfmConfig.cmake)
    if(NOT EXISTS ${WORK_DIR}/prefix/${installed})
        message(FATAL_ERROR "not installed: ${installed}")
    endif()
endforeach()
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -G Ninja -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)
