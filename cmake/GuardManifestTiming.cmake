# Clock and size wording for the guard manifest step's progress lines.

# Microseconds since the epoch, in one reading of the clock.
function(zarnelguard_now_us out)
  string(TIMESTAMP now "%s %f" UTC)
  string(REGEX MATCH "^([0-9]+) ([0-9]+)$" matched "${now}")
  math(EXPR us "${CMAKE_MATCH_1} * 1000000 + ${CMAKE_MATCH_2}")
  set(${out} ${us} PARENT_SCOPE)
endfunction()

# "<size> in <seconds> s, <MB/s>" for `bytes` hashed in `us` microseconds.
function(zarnelguard_describe_rate bytes us out)
  math(EXPR tenths_mib "${bytes} * 10 / 1048576")
  math(EXPR whole "${tenths_mib} / 10")
  math(EXPR tenth "${tenths_mib} % 10")
  if(bytes LESS 1048576)
    set(size "${bytes} bytes")
  else()
    set(size "${whole}.${tenth} MiB")
  endif()
  math(EXPR ms "${us} / 1000")
  math(EXPR seconds "${ms} / 1000")
  math(EXPR hundredths "(${ms} % 1000) / 10")
  if(hundredths LESS 10)
    set(hundredths "0${hundredths}")
  endif()
  if(us GREATER 0 AND bytes GREATER_EQUAL 1048576)
    # bytes per microsecond is MB/s
    math(EXPR rate "${bytes} / ${us}")
    set(${out} "${size} in ${seconds}.${hundredths} s, ${rate} MB/s" PARENT_SCOPE)
  else()
    set(${out} "${size}" PARENT_SCOPE)
  endif()
endfunction()
