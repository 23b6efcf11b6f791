# The Windows Installer package, made with Debian's wixl (package wixl) from
# packaging/windows/ketrova-probe.wxs. Included by install.cmake, which adds
# the package's target with ketrova_add_msi once the package's name, vendor
# and version are set, and by the Windows tests (tests/windows/tests.cmake),
# which need the packages' paths before that. Only sets variables and
# defines the function, so including it twice is harmless.

find_program(KETROVA_WIXL wixl)

# The upgrade code names the product across all its versions: every package
# of every version carries this one, so that a later version finds the
# installed one and replaces it. Never change it.
set(KETROVA_MSI_UPGRADE_CODE ED9758A2-F66B-4344-87E2-FB472D5E5E17)

# The package of this version, and one of a later version (the same files)
# that the Wine tests upgrade it with.
set(KETROVA_MSI_FILE ${CMAKE_BINARY_DIR}/${PROJECT_NAME}-${PROJECT_VERSION}-x64.msi)
set(KETROVA_MSI_LATER_FILE ${CMAKE_BINARY_DIR}/msi-later/${PROJECT_NAME}-later-x64.msi)

# ketrova_add_msi(TARGET VERSION OUTPUT): a target, built by default, that
# makes the package OUTPUT of version VERSION from the stripped program (as
# the zip has it), README.md and the licence as LICENSE.txt, with the product
# name, manufacturer and summary of the CPack settings. The product code is
# derived from the upgrade code and the version: one product code for each
# version, a new one for each new version (which a major upgrade needs), the
# same for every build of a version.
function(ketrova_add_msi target version output)
  string(UUID product_code NAMESPACE ${KETROVA_MSI_UPGRADE_CODE} NAME "${version} x64"
         TYPE SHA1 UPPER)
  set(wxs ${PROJECT_SOURCE_DIR}/packaging/windows/ketrova-probe.wxs)
  # wixl 0.101 takes no absolute source path: it runs among the files.
  set(files ${CMAKE_BINARY_DIR}/${target}-files)
  file(MAKE_DIRECTORY ${files})
  get_filename_component(output_dir ${output} DIRECTORY)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
    COMMAND ${CMAKE_STRIP} -o ketrova-probe.exe $<TARGET_FILE:ketrova-probe>
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/README.md README.md
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt
    COMMAND ${KETROVA_WIXL} --arch x64 -o ${output}
            -D ProductName=${CPACK_PACKAGE_NAME} -D Manufacturer=${CPACK_PACKAGE_VENDOR}
            -D Version=${version} -D Summary=${CPACK_PACKAGE_DESCRIPTION_SUMMARY}
            -D ProductCode=${product_code} -D UpgradeCode=${KETROVA_MSI_UPGRADE_CODE} ${wxs}
    WORKING_DIRECTORY ${files}
    DEPENDS ketrova-probe ${wxs} ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
    COMMENT "Windows Installer package ${output}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()
