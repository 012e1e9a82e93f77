# Where libODoors carries the C++ runtime, it carries none of its exception
# code: no throwing, catching or demangling, which every door would map.
# (ARM's unwinder comes with any code there, for its own unwinding tables.)
# Run as: cmake -DREADELF=... -DLIBRARY=... -P library_runtime.cmake
execute_process(COMMAND ${READELF} -sW ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "readelf -s ${LIBRARY} failed")
endif()
string(REGEX MATCHALL " (__cxa_throw|__cxa_allocate_exception|__cxa_demangle|__gxx_personality_v0)\n"
       found "${symbols}")
if(found)
  string(REPLACE "\n" "" found "${found}")
  message(FATAL_ERROR "${LIBRARY} carries the runtime's exception code:${found}")
endif()
