# cmake -DIN=file -DOUT=file.cpp -DSYMBOL=name -P embed_file.cmake
# Writes a C++ file defining `const unsigned char name[]` (IN's bytes) and
# `const size_t nameSize`, so a tool carries the file in its binary.
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){32})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUT}.tmp" "// Generated from ${IN}; do not edit.\n#include <cstddef>\n"
     "extern const unsigned char ${SYMBOL}[] = {\n${bytes}0};\nextern const size_t ${SYMBOL}Size = ${size};\n")
file(RENAME "${OUT}.tmp" "${OUT}")
