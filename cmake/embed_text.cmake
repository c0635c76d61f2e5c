# Script mode: turns text files into a C++ source that defines each as a
# NUL-terminated char array. Variables: OUTPUT, HEADER, and FILES, a list of
# NAME=PATH pairs.
set(body "// Generated at build time from the files named below; do not edit.\n#include \"${HEADER}\"\n\nnamespace korvastation {\n")
foreach(pair ${FILES})
  string(REPLACE "=" ";" parts "${pair}")
  list(GET parts 0 name)
  list(GET parts 1 path)
  file(READ ${path} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n    " bytes "${bytes}")
  string(APPEND body "\n// ${path}\nextern const char ${name}[] = {\n    ${bytes}0};\n")
endforeach()
string(APPEND body "\n} // namespace korvastation\n")
file(WRITE ${OUTPUT}.tmp "${body}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
