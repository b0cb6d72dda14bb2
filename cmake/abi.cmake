# The ABI baseline abi/libkelmcat.abi: the exported functions of the shared
# library with every type they reach through the public header, as abidw
# writes them from the library's debug information. The abi_baseline test
# compares the built library with it; after an intended change (a new export)
# `bash scripts/abi-update` (the abi-update target) writes it again.
find_program(KELMCAT_ABIDW abidw)
find_program(KELMCAT_ABIDIFF abidiff)
set(KELMCAT_ABI_BASELINE ${PROJECT_SOURCE_DIR}/abi/libkelmcat.abi)
# Only types declared in the public headers count, and no path of the build
# machine is recorded, so the baseline is the same from any checkout.
# Locations, paths of the checkout and sequential type ids are left out so
# that the file is the same from any checkout, and an edit elsewhere in the
# header or a new type does not rewrite all of it.
set(KELMCAT_ABIDW_ARGS
  --no-corpus-path --no-comp-dir-path --no-show-locs --short-locs --type-id-style hash
  --exported-interfaces-only --drop-private-types
  --headers-dir ${PROJECT_SOURCE_DIR}/include
  --headers-dir ${KELMCAT_GENERATED_INCLUDE_DIR})
if(KELMCAT_ABIDW)
  add_custom_target(abi-update
    COMMAND ${KELMCAT_ABIDW} ${KELMCAT_ABIDW_ARGS} --out-file ${KELMCAT_ABI_BASELINE}
            $<TARGET_FILE:kelmcat>
    DEPENDS kelmcat
    COMMENT "Writing the ABI baseline abi/libkelmcat.abi"
    VERBATIM)
endif()
