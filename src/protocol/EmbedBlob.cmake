# cmake -P EmbedBlob.cmake -DIN=<blob> -DOUT=<generated .cpp> [-DNAME=<function>]
# Turns a stub blob into a byte array of the core, so no file is needed at run time;
# NAME() returns it (StubEsp32Blob unless given).
if(NOT DEFINED IN OR NOT DEFINED OUT)
  message(FATAL_ERROR "EmbedBlob.cmake needs -DIN=<file> -DOUT=<file>")
endif()
if(NOT DEFINED NAME)
  set(NAME StubEsp32Blob)
endif()
file(READ "${IN}" _hex HEX)
string(LENGTH "${_hex}" _len)
if(_len EQUAL 0)
  message(FATAL_ERROR "${IN} is empty")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
# Sixteen bytes a line keeps the generated file readable.
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n  " _bytes "${_bytes}")
file(WRITE "${OUT}.tmp"
  "// Generated from ${IN}; do not edit.\n"
  "#include <cstdint>\n#include <span>\n\n"
  "namespace {\nconst uint8_t Blob[] = {\n  ${_bytes}\n};\n}\n\n"
  "std::span<const uint8_t> ${NAME}() { return Blob; }\n")
file(RENAME "${OUT}.tmp" "${OUT}")
