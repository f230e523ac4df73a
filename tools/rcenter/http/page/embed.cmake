# cmake -DOUT=<file.cpp> -DSOURCE_DIR=<dir> -P embed.cmake: writes the page's
# three files into OUT as byte arrays behind rc_page.h's table, so the center
# serves them from its own binary with nothing read at run time.
set(assets
  "/|index.html|text/html"
  "/page.js|page.js|text/javascript"
  "/page.css|page.css|text/css")
set(arrays "")
set(rows "")
set(n 0)
foreach(asset ${assets})
  string(REPLACE "|" ";" parts "${asset}")
  list(GET parts 0 path)
  list(GET parts 1 file)
  list(GET parts 2 type)
  file(READ "${SOURCE_DIR}/${file}" hex HEX)
  string(LENGTH "${hex}" hexlen)
  math(EXPR size "${hexlen} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  string(APPEND arrays "const unsigned char kAsset${n}[] = {\n${bytes}};\n")
  string(APPEND rows "    {\"${path}\", \"${type}; charset=utf-8\", kAsset${n}, ${size}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE "${OUT}.tmp" "// Made by tools/rcenter/http/page/embed.cmake from tools/rcenter/http/page/; do not edit.\n"
  "#include \"rc_page.h\"\n\nnamespace {\n${arrays}}  // namespace\n\n"
  "const rc_page_asset_t g_arRcPageAssets[] = {\n${rows}};\n"
  "const size_t g_iRcPageAssets = ${n};\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
