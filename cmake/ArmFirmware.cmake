# Cross-building flat big-endian ARM binaries for the board with the
# arm-none-eabi toolchain, next to the host build.

find_program(ARM_CXX arm-none-eabi-g++)
find_program(ARM_OBJCOPY arm-none-eabi-objcopy)
if(NOT ARM_CXX OR NOT ARM_OBJCOPY)
  message(FATAL_ERROR
    "arm-none-eabi-g++ or arm-none-eabi-objcopy not found: install the Debian packages "
    "gcc-arm-none-eabi and binutils-arm-none-eabi (scripts/setup.sh does).")
endif()

set(ARM_TARGET_FLAGS -mbig-endian -march=armv5te -marm)
set(ARM_COMPILE_FLAGS ${ARM_TARGET_FLAGS} -Os -g -std=c++17 -ffreestanding -nostdlib
    -fno-exceptions -fno-rtti -fno-unwind-tables -fno-asynchronous-unwind-tables
    -fno-threadsafe-statics -fno-use-cxa-atexit -fno-builtin
    -fno-delete-null-pointer-checks -ffunction-sections
    -Wall -Wextra)
if(KORVA_WERROR)
  list(APPEND ARM_COMPILE_FLAGS -Werror)
endif()

# korva_arm_binary(NAME <name> LINKER_SCRIPT <file> SOURCES <files...>
#                  [INCLUDES <dirs...>] [DEFINES <NAME=value...>] [LINK_ADDRESS <addr>])
# Produces ${CMAKE_CURRENT_BINARY_DIR}/<name>.elf and <name>.bin and a target
# <name>_bin. LINK_ADDRESS links without a script, code at that address.
function(korva_arm_binary)
  cmake_parse_arguments(ARG "" "NAME;LINKER_SCRIPT;LINK_ADDRESS" "SOURCES;INCLUDES;DEFINES" ${ARGN})
  set(objects)
  # Includes are named from the project's root, as in the host build.
  set(include_flags -I${PROJECT_SOURCE_DIR})
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}.dir)
  foreach(dir ${ARG_INCLUDES})
    list(APPEND include_flags -I${dir})
  endforeach()
  foreach(define ${ARG_DEFINES})
    list(APPEND include_flags -D${define})
  endforeach()
  foreach(src ${ARG_SOURCES})
    get_filename_component(src_abs ${src} ABSOLUTE)
    get_filename_component(src_name ${src} NAME)
    set(obj ${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}.dir/${src_name}.o)
    add_custom_command(
      OUTPUT ${obj}
      COMMAND ${ARM_CXX} ${ARM_COMPILE_FLAGS} ${include_flags}
              -MD -MF ${obj}.d -c ${src_abs} -o ${obj}
      DEPENDS ${src_abs}
      DEPFILE ${obj}.d
      COMMENT "Cross-compiling ${src_name} for the board"
      VERBATIM)
    list(APPEND objects ${obj})
  endforeach()
  set(elf ${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}.elf)
  set(bin ${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}.bin)
  if(ARG_LINKER_SCRIPT)
    get_filename_component(script ${ARG_LINKER_SCRIPT} ABSOLUTE)
    set(link_flags -T ${script} -Wl,--gc-sections)
    set(link_deps ${script})
  else()
    set(link_flags -Wl,-Ttext=${ARG_LINK_ADDRESS} -Wl,-e,0)
    set(link_deps)
  endif()
  add_custom_command(
    OUTPUT ${elf} ${bin}
    COMMAND ${ARM_CXX} ${ARM_TARGET_FLAGS} -nostdlib -nostartfiles ${link_flags}
            ${objects} -o ${elf}
    COMMAND ${ARM_OBJCOPY} -O binary ${elf} ${bin}
    DEPENDS ${objects} ${link_deps}
    COMMENT "Linking ${ARG_NAME}.bin"
    VERBATIM)
  add_custom_target(${ARG_NAME}_bin ALL DEPENDS ${bin})
endfunction()
