# Names the component's source: a hash of the .comp and its headers, written as a
# header the component compiles in and as a text file. Whoever installs or tests the component
# finds out from it whether the installed module was built from this source (halcompile's
# output differs from build to build, so the bytes cannot tell).
#   cmake -DCOMP=... -DHEADERS=a.h,b.h -DOUT_DIR=... -P SourceId.cmake
file(SHA256 "${COMP}" hashes)
string(REPLACE "," ";" HEADERS "${HEADERS}")
foreach(header IN LISTS HEADERS)
  file(SHA256 "${header}" header_hash)
  string(APPEND hashes "${header_hash}")
endforeach()
string(SHA256 id "${hashes}")
string(SUBSTRING "${id}" 0 16 id)
set(text "engrave_trigger source ${id}")
file(WRITE "${OUT_DIR}/engrave_trigger_source.h.new"
  "#define ENGRAVE_TRIGGER_SOURCE_ID \"${text}\"\n")
file(COPY_FILE "${OUT_DIR}/engrave_trigger_source.h.new" "${OUT_DIR}/engrave_trigger_source.h"
  ONLY_IF_DIFFERENT)
file(REMOVE "${OUT_DIR}/engrave_trigger_source.h.new")
file(WRITE "${OUT_DIR}/engrave_trigger.source-id" "${text}")
