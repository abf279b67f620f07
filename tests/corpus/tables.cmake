# Writes the type tables of one corpus file from rpcgen's filters for it
# (every `xdr_T (XDR *xdrs, T *objp)` it defines, in its order):
#   OUT/NAME_ours.c  {name, size, our filter} through the generated header
#   OUT/NAME_rpc.c   {name, size, rpcgen's filter} through rpcgen's header
# Inputs: XDR_C (rpcgen -c output), NAME, OUT, PREFIX (our filters' prefix).
file(STRINGS ${XDR_C} lines REGEX "^xdr_[A-Za-z0-9_]+ \\(XDR \\*xdrs, [A-Za-z0-9_]+ \\*?objp\\)$")
set(ours "")
set(rpc "")
set(wrap_ours "")
set(wrap_rpc "")
set(i 0)
foreach(line IN LISTS lines)
  string(REGEX MATCH "^xdr_([A-Za-z0-9_]+) \\(XDR \\*xdrs, ([A-Za-z0-9_]+) " m "${line}")
  if(NOT CMAKE_MATCH_1 STREQUAL CMAKE_MATCH_2)
    continue() # a filter written by hand in the file's own C lines
  endif()
  set(t ${CMAKE_MATCH_1})
  # The object comes in as void *: it converts to T * and to an array
  # typedef's element pointer alike.
  string(APPEND wrap_ours "static int o_${i}(axdr_stream_t *s, void *v) { return ${PREFIX}${t}(s, v); }\n")
  string(APPEND wrap_rpc "static bool_t r_${i}(XDR *x, void *v) { return xdr_${t}(x, v); }\n")
  string(APPEND ours "    {\"${t}\", sizeof(${t}), o_${i}},\n")
  string(APPEND rpc "    {\"${t}\", sizeof(${t}), r_${i}},\n")
  math(EXPR i "${i} + 1")
endforeach()
if(i EQUAL 0)
  message(FATAL_ERROR "no types found in ${XDR_C}")
endif()
set(head "/* Generated from ${NAME}.x by tables.cmake. */\n")
file(WRITE ${OUT}/${NAME}_ours.c.new "${head}#include \"${NAME}.h\"\n#include \"corpus.h\"\n\n${wrap_ours}
static const struct qc_type types[] = {\n${ours}};\nconst struct qc_file qc_file_${NAME} = {\"${NAME}\", types, ${i}};\n")
file(WRITE ${OUT}/${NAME}_rpc.c.new "${head}#include \"${NAME}.h\"\n#include \"rpc_bridge.h\"\n\n${wrap_rpc}
const struct qc_rpc_type qc_rpc_types[] = {\n${rpc}};\nconst size_t qc_rpc_count = ${i};\n")
foreach(f ${NAME}_ours.c ${NAME}_rpc.c)
  file(COPY_FILE ${OUT}/${f}.new ${OUT}/${f} ONLY_IF_DIFFERENT)
  file(REMOVE ${OUT}/${f}.new)
endforeach()
