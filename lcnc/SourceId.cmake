# Names the component's source: a hash of the .comp and its headers, written as a
# header the component compiles in and as a text file. Whoever installs or tests the component
# finds out from it whether the installed module was built from this source (halcompile's
# output differs from build to build, so the bytes cannot tell).
#   cmake -DNAME=engrave_trigger -DCOMP=... [-DHEADERS=a.h,b.h] -DOUT_DIR=... -P SourceId.cmake
file(SHA256 "${COMP}" hashes)
string(REPLACE "," ";" HEADERS "${HEADERS}")
foreach(header IN LISTS HEADERS)
  file(SHA256 "${header}" header_hash)
  string(APPEND hashes "${header_hash}")
endforeach()
string(SHA256 id "${hashes}")
string(SUBSTRING "${id}" 0 16 id)
set(text "${NAME} source ${id}")
string(TOUPPER "${NAME}_SOURCE_ID" macro)
file(WRITE "${OUT_DIR}/${NAME}_source.h.new"
  "#define ${macro} \"${text}\"\n")
file(COPY_FILE "${OUT_DIR}/${NAME}_source.h.new" "${OUT_DIR}/${NAME}_source.h"
  ONLY_IF_DIFFERENT)
file(REMOVE "${OUT_DIR}/${NAME}_source.h.new")
file(WRITE "${OUT_DIR}/${NAME}.source-id" "${text}")
