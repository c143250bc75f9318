# kovrax_embed(<out.cpp> <symbol> <file>): a C++ source defining
#   extern const unsigned char <symbol>[]; extern const std::size_t <symbol>_size;
# with the bytes of <file>, regenerated when the file changes.
function(kovrax_embed out symbol file)
  add_custom_command(
    OUTPUT "${out}"
    COMMAND ${CMAKE_COMMAND} -DIN=${file} -DOUT=${out} -DSYM=${symbol} -P "${CMAKE_SOURCE_DIR}/cmake/EmbedFile.cmake"
    DEPENDS "${file}" "${CMAKE_SOURCE_DIR}/cmake/EmbedFile.cmake"
    VERBATIM)
endfunction()
