# The build step that hashes a client directory into the guard manifest
# table, as a target of its own that the guard's objects depend on.

set(ZARNELGUARD_MANIFEST_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/write_guard_manifest.cmake)

# Adds `target`, which hashes the files that `list_file` names in
# `client_dir` into the table source `output`.
#
# It runs on every build: a file's date cannot tell whether its content
# changed (see write_guard_manifest.cmake). The step hashes only files whose
# identity changed and rewrites the table only when a row changed (Ninja
# then compiles nothing), so an unchanged build stays quick. In the console
# pool, so that the progress of a long hash shows as it happens.
function(zarnelguard_add_manifest_step target client_dir list_file output jobs)
  get_filename_component(output_dir "${output}" DIRECTORY)
  add_custom_target(${target}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
    COMMAND ${CMAKE_COMMAND} -DCLIENT_DIR=${client_dir} -DCLIENT_FILES=${list_file}
            -DOUTPUT=${output} -DJOBS=${jobs} -P ${ZARNELGUARD_MANIFEST_SCRIPT}
    BYPRODUCTS ${output}
    USES_TERMINAL
    VERBATIM)
endfunction()
