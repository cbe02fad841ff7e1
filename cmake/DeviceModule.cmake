# The module compiled against declarations shaped as the device's own
# headers give them (bootenv/device/): global namespace, C prototypes, the
# untyped task entry. Compiled, never linked: it shows that the sources need
# nothing of the host's typed glue. Its symbols are checked like dlmodule's.
file(GLOB_RECURSE DL_DEVICE_MODULE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/update/*.cpp)
add_library(dlmodule_device STATIC ${DL_DEVICE_MODULE_SOURCES})
target_compile_definitions(dlmodule_device PRIVATE DL_DEVICE_DECLS)
# The device's C library knows 32-bit file offsets only: no fopen64 there.
target_compile_options(dlmodule_device PRIVATE -U_FILE_OFFSET_BITS)
# The device's headers come first: they answer "bootenv/vxWorks.h" and
# "bootenv/bootEnv.h"; the rest of bootenv/ and update/ from the tree.
target_include_directories(dlmodule_device BEFORE PRIVATE ${CMAKE_SOURCE_DIR}/bootenv/device)
target_include_directories(dlmodule_device PRIVATE ${CMAKE_SOURCE_DIR})
add_dependencies(dlmodule_device check_module_includes)
if(BUILD_TESTING)
  add_test(NAME module_symbols_device
           COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIB=$<TARGET_FILE:dlmodule_device>
                   -DLIST=${CMAKE_SOURCE_DIR}/bootenv/imports.txt
                   -P ${CMAKE_SOURCE_DIR}/cmake/CheckModuleSymbols.cmake)
  set_tests_properties(module_symbols_device PROPERTIES LABELS module)
endif()
