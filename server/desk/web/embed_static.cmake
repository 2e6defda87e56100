# Writes OUT, a C++ file holding each file of STATIC_DIR named in NAMES
# (separated by '|') as a string constant, so that the desk serves its style
# sheet and script from the binary alone.
#   cmake -DSTATIC_DIR=... -DNAMES=desk.css|desk.js -DOUT=... -P embed_static.cmake
string(REPLACE "|" ";" names "${NAMES}")
set(text "// Made by embed_static.cmake from server/desk/web/static/; edit those files.\n")
string(APPEND text "#include <string_view>\n\nnamespace zandrel::desk::web::embedded {\n")
foreach(name IN LISTS names)
  file(READ "${STATIC_DIR}/${name}" body HEX)
  string(MAKE_C_IDENTIFIER "${name}" id)
  string(LENGTH "${body}" hex_length)
  math(EXPR length "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${body}")
  string(APPEND text "static const char k_${id}_bytes[] = {${bytes}'\\0'};\n")
  string(APPEND text "extern const std::string_view k_${id};\n")
  string(APPEND text "const std::string_view k_${id}(k_${id}_bytes, ${length});\n")
endforeach()
string(APPEND text "}  // namespace zandrel::desk::web::embedded\n")
file(WRITE "${OUT}.tmp" "${text}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
