# Script mode: turns a flat binary into a C++ source that defines a byte array
# and its size. Variables: INPUT, OUTPUT, ARRAY, SIZE_NAME, HEADER.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
if(size EQUAL 0)
  message(FATAL_ERROR "${INPUT} is empty")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
file(WRITE ${OUTPUT}.tmp
"// Generated from ${INPUT} at build time; do not edit.
#include \"${HEADER}\"

const unsigned int ${SIZE_NAME} = ${size};
const unsigned char ${ARRAY}[${size}] = {
    ${bytes}
};
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
