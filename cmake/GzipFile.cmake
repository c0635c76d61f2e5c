# korva_gzip(SOURCE OUTPUT_VAR): SOURCE gzipped into the build tree at build
# time, its path in OUTPUT_VAR. -n leaves out name and time, so packages are reproducible.
function(korva_gzip source output_var)
  get_filename_component(name ${source} NAME)
  set(packed ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
  add_custom_command(OUTPUT ${packed}
    COMMAND gzip -9nc ${source} > ${packed}
    DEPENDS ${source} VERBATIM)
  set(${output_var} ${packed} PARENT_SCOPE)
endfunction()
