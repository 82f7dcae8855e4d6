# The same bytes from the same commit, whoever builds it and wherever: no link
# time in the PE header, and no build or source folder in the debug data or in
# __FILE__ texts. Sources read as /zrvd/<path> (gdb: set substitute-path /zrvd
# <checkout>). scripts/check-reproducible builds again elsewhere and compares.
if(WIN32)
  # The later map wins where both match: the build folder sits in the sources.
  add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=/zrvd
                      -ffile-prefix-map=${CMAKE_BINARY_DIR}=/zrvd/build)
  add_link_options(-Wl,--no-insert-timestamp)
endif()
