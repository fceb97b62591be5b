# Turns the page's files into a C++ source, so the program carries them: 
#   cmake -DINPUT=web/index.html -DOUTPUT=WebAssets.cpp -P Embed.cmake
file(READ "${INPUT}" _hex HEX)
string(LENGTH "${_hex}" _length)
math(EXPR _bytes "${_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _array "${_hex}")
string(REGEX REPLACE "(0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f])" "\\1\n" _array "${_array}")
file(WRITE "${OUTPUT}.tmp" "// Generated from ${INPUT}; do not edit.\n#include \"WebAssets.h\"\n\nnamespace gateway {\nnamespace {\nconst unsigned char kIndexHtml[] = {\n${_array}\n};\n}  // namespace\n\nstd::string_view IndexHtml() { return {reinterpret_cast<const char*>(kIndexHtml), ${_bytes}}; }\n\n}  // namespace gateway\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
