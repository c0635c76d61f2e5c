# cmake -DINPUT=file -DOUTPUT=header -DNAME=macro -P digest_header.cmake
# Writes a header that defines NAME as the SHA-256 of INPUT, in hex.
file(SHA256 ${INPUT} digest)
file(WRITE ${OUTPUT}.tmp "#define ${NAME} \"${digest}\"\n")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
