# The steps that the release scripts (release.cmake, release-all.cmake) share.

# The environment every packer and build of a release sees: the release's time, the C locale
# and UTC, and none of the variables by which gzip, tar, zip and xz take options.
function(release_environment epoch)
    set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
    set(ENV{LC_ALL} C)
    set(ENV{TZ} UTC)
    foreach(variable GZIP TAR_OPTIONS ZIPOPT ZIP XZ_OPT XZ_DEFAULTS)
        unset(ENV{${variable}})
    endforeach()
endfunction()

# Writes <folder>/SHA256SUMS for the artefacts in <folder>, in name order, as sha256sum -c
# reads it, and shows it.
function(write_checksums folder)
    file(GLOB artefacts RELATIVE "${folder}" "${folder}/*")
    list(REMOVE_ITEM artefacts SHA256SUMS)
    list(SORT artefacts)
    set(sums "")
    foreach(artefact IN LISTS artefacts)
        file(SHA256 "${folder}/${artefact}" hash)
        string(APPEND sums "${hash}  ${artefact}\n")
    endforeach()
    file(WRITE "${folder}/SHA256SUMS" "${sums}")
    message(STATUS "${folder}:\n${sums}")
endfunction()
