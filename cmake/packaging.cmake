# The Debian package: `cpack -G DEB` in the build folder, from what
# `cmake --install` puts under /usr. Its version is project()'s; its
# dependencies are computed from the programs' libraries (dpkg-shlibdeps).
# No maintainer script: udevd notices a changed rules folder by itself (it
# reads the rules again before it handles the next event), so the rule takes
# effect when the calculator is next plugged in.
set(_tavix_doc ${CMAKE_BINARY_DIR}/packaging-doc)
# Compressed as Debian wants them (-n: no name or time inside, so the same
# text gives the same bytes); the manual pages carry the version of project().
set(_tavix_gz_outputs)
foreach(from IN ITEMS man/tavix-updater.1 man/tavix-updater-sim.1 man/xqres.1 changelog)
    get_filename_component(name ${from} NAME)
    set(input ${PROJECT_SOURCE_DIR}/packaging/${from})
    if(from MATCHES "^man/")
        configure_file(${input} ${_tavix_doc}/${from} @ONLY)
        set(input ${_tavix_doc}/${from})
    endif()
    add_custom_command(OUTPUT ${_tavix_doc}/${name}.gz
        COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${input} ${_tavix_doc}/${name}.gz
        DEPENDS ${input} VERBATIM)
    list(APPEND _tavix_gz_outputs ${_tavix_doc}/${name}.gz)
endforeach()
add_custom_target(tavix_package_doc ALL DEPENDS ${_tavix_gz_outputs})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${_tavix_doc}/changelog.gz
        DESTINATION share/doc/tavix-updater)
install(FILES ${_tavix_doc}/tavix-updater.1.gz ${_tavix_doc}/tavix-updater-sim.1.gz ${_tavix_doc}/xqres.1.gz
        DESTINATION share/man/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavix-updater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "XQ Instruments")
set(CPACK_PACKAGE_CONTACT "Tavix updater team <updater@xq-instruments.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for Tavix calculators")
# (CPack writes the summary as the first line and indents the rest; an empty
# line becomes Debian's paragraph mark.)
set(CPACK_PACKAGE_DESCRIPTION "Finds a firmware release (three files) in a folder, waits for Tavix
calculators in update mode (USB mass-storage disks), counts down and writes
the release onto every attached calculator at once.

The package holds the updater, tavix-updater-sim (the same program on
simulated calculators, to see what an update looks like without one),
xqres (the string-resource tool) and a udev rule that gives the person at
the machine access to a calculator's disk, so that no root is needed.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
