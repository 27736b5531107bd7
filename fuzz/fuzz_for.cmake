# cmake -DFUZZER=<exe> -DTARGET=<name> -DSECONDS=<n> -DSOURCE=<fuzz/> -DWORK=<dir> -P this
# Fuzzes one libFuzzer target for SECONDS from its seeds (SOURCE/corpus/TARGET) with its
# dictionary and options (SOURCE/TARGET.dict, SOURCE/TARGET.options), growing a scratch
# corpus in WORK so the repository stays as it is. A crash, leak, hang or failed property
# fails; the input that caused it is saved in SOURCE/regressions/TARGET/, where the
# replay test of every ordinary build finds it from then on.
cmake_minimum_required(VERSION 3.25)
set(artifacts ${WORK}/artifacts)
file(REMOVE_RECURSE ${artifacts})
file(MAKE_DIRECTORY ${WORK}/corpus ${artifacts})

set(flags -max_total_time=${SECONDS} -timeout=30 -rss_limit_mb=2048 -print_final_stats=1
          -artifact_prefix=${artifacts}/)
if(EXISTS ${SOURCE}/${TARGET}.dict)
  list(APPEND flags -dict=${SOURCE}/${TARGET}.dict)
endif()
if(EXISTS ${SOURCE}/${TARGET}.options)
  # libFuzzer flags of this target alone (an input length above the default 4 KB, say).
  file(READ ${SOURCE}/${TARGET}.options options)
  separate_arguments(options UNIX_COMMAND "${options}")
  list(APPEND flags ${options})
endif()

execute_process(COMMAND ${FUZZER} ${WORK}/corpus ${SOURCE}/corpus/${TARGET} ${flags}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(GLOB found ${artifacts}/crash-* ${artifacts}/leak-* ${artifacts}/timeout-*
       ${artifacts}/oom-*)
  foreach(input ${found})
    get_filename_component(input_name ${input} NAME)
    file(COPY ${input} DESTINATION ${SOURCE}/regressions/${TARGET})
    message("${TARGET}: the failing input is saved as ${SOURCE}/regressions/${TARGET}/${input_name}")
  endforeach()
  message(FATAL_ERROR "${TARGET} failed (status ${status})")
endif()
