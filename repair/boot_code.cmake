# Assembles the boot sector code and turns it into BootCodeTemplate.
# The code is 16-bit real mode whatever the C++ target is, so it goes through
# GNU as/ld directly instead of the project's ASM language settings.
find_program(BRISANT_GNU_AS NAMES as REQUIRED)
find_program(BRISANT_GNU_LD NAMES ld REQUIRED)

set(_boot_src ${CMAKE_CURRENT_LIST_DIR}/boot_code.s)
set(_boot_obj ${CMAKE_CURRENT_BINARY_DIR}/boot_code.o)
set(_boot_bin ${CMAKE_CURRENT_BINARY_DIR}/boot_code.bin)
set(BRISANT_BOOT_CODE_SOURCE ${CMAKE_CURRENT_BINARY_DIR}/boot_code_template.cpp)

# Offset 62 of the sector at 0000:7C00.
add_custom_command(
  OUTPUT ${_boot_bin}
  COMMAND ${BRISANT_GNU_AS} --32 --fatal-warnings -o ${_boot_obj} ${_boot_src}
  COMMAND ${BRISANT_GNU_LD} -m elf_i386 -Ttext=0x7C3E --oformat binary --fatal-warnings
          -o ${_boot_bin} ${_boot_obj}
  DEPENDS ${_boot_src}
  COMMENT "Assembling boot sector code"
  VERBATIM)

add_custom_command(
  OUTPUT ${BRISANT_BOOT_CODE_SOURCE}
  COMMAND ${CMAKE_COMMAND} -DINPUT=${_boot_bin} -DOUTPUT=${BRISANT_BOOT_CODE_SOURCE}
          -DSIZE=450 -P ${CMAKE_CURRENT_LIST_DIR}/bin_to_cpp.cmake
  DEPENDS ${_boot_bin} ${CMAKE_CURRENT_LIST_DIR}/bin_to_cpp.cmake
  COMMENT "Generating BootCodeTemplate"
  VERBATIM)

# The boot tests need the raw sector code as well.
set_property(GLOBAL PROPERTY BRISANT_BOOT_CODE_BINARY ${_boot_bin})
