# Building a freestanding PE32 image for IA-32 with clang++ and lld-link, next
# to (and independently of) the host build. Used for the firmware image and,
# by the image tests, for a deliberately faulty variant of it.

find_program(CLOCKRAMP_CLANGXX NAMES clang++ clang++-14 DOC "clang++ used to compile the IA-32 image")
find_program(CLOCKRAMP_LLD_LINK NAMES lld-link lld-link-14 DOC "lld-link used to link the IA-32 image")
if(NOT CLOCKRAMP_CLANGXX OR NOT CLOCKRAMP_LLD_LINK)
  message(FATAL_ERROR "The IA-32 image needs clang++ and lld-link (Debian packages clang and lld)")
endif()

# Section alignment of the image, equal to its file alignment so that every
# section's address is its file offset and the image can run where it lies in
# flash. lld-link 14 sizes the header block for one section-table entry more
# than it writes (488 bytes here); 8 keeps that block at 488 bytes where 32
# would round it up to 512.
set(CLOCKRAMP_IMAGE_ALIGN 8 CACHE INTERNAL "Section and file alignment of IA-32 images")

# Freestanding, no runtime helpers, no floating point or vector registers
# (the image runs before memory and FPU state exist), smallest code. The
# objects are LLVM bitcode: the link optimises across translation units, so
# the one-instruction platform functions are inlined where they are called
# and internal functions pass arguments in registers.
set(CLOCKRAMP_IA32_CXX_FLAGS
  --target=i686-pc-windows-msvc -std=c++20 -Wall -Wextra -Werror -Wconversion
  -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector
  -fno-builtin -mno-stack-arg-probe -mno-sse -mno-mmx -mno-80387
  -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections -Oz -flto
  CACHE INTERNAL "clang++ flags of IA-32 images")

# A boot service driver DLL with no default libraries, based at 0 (every
# absolute address gets a base relocation), read-only data merged into the
# code section, and a fixed header timestamp so that builds are reproducible
# (/Brepro would add a debug directory to the image).
set(CLOCKRAMP_IA32_LINK_FLAGS
  /dll /driver /nodefaultlib /subsystem:efi_boot_service_driver
  /align:${CLOCKRAMP_IMAGE_ALIGN} /filealign:${CLOCKRAMP_IMAGE_ALIGN} /base:0 /opt:ref
  /merge:.rdata=.text /timestamp:0
  CACHE INTERNAL "lld-link flags of IA-32 images")

# clockramp_add_ia32_image(<target> OUTPUT <file.efi> ENTRY <symbol> SOURCES <abs paths...>
#                          [INCLUDE_DIRS <dirs...>])
# Compiles each source to an object (through the host build's compiler
# launcher, ccache: cmake/CompilerCache.cmake), links <file.efi> and
# <file>.map, and adds <target> (part of `all`) that produces both.
function(clockramp_add_ia32_image target)
  cmake_parse_arguments(ARG "" "OUTPUT;ENTRY" "SOURCES;INCLUDE_DIRS" ${ARGN})
  get_filename_component(out_dir "${ARG_OUTPUT}" DIRECTORY)
  get_filename_component(out_stem "${ARG_OUTPUT}" NAME_WE)
  set(obj_dir "${out_dir}/${target}.objs")
  set(map "${out_dir}/${out_stem}.map")
  set(includes -I${PROJECT_SOURCE_DIR})
  foreach(dir IN LISTS ARG_INCLUDE_DIRS)
    list(APPEND includes -I${dir})
  endforeach()

  set(objects)
  foreach(src IN LISTS ARG_SOURCES)
    # Object names from the path below the source root, so equal file names
    # in different folders cannot collide.
    file(RELATIVE_PATH rel "${PROJECT_SOURCE_DIR}" "${src}")
    string(REGEX REPLACE "[/\\.]" "_" obj_name "${rel}")
    set(obj "${obj_dir}/${obj_name}.obj")
    add_custom_command(
      OUTPUT "${obj}"
      COMMAND ${CMAKE_COMMAND} -E make_directory "${obj_dir}"
      COMMAND ${CLOCKRAMP_COMPILER_LAUNCHER} ${CLOCKRAMP_CLANGXX} ${CLOCKRAMP_IA32_CXX_FLAGS} ${includes}
              -MD -MF "${obj}.d" -c "${src}" -o "${obj}"
      DEPENDS "${src}"
      DEPFILE "${obj}.d"
      COMMENT "Compiling ${rel} for the IA-32 image"
      VERBATIM)
    list(APPEND objects "${obj}")
  endforeach()

  add_custom_command(
    OUTPUT "${ARG_OUTPUT}" "${map}"
    COMMAND ${CLOCKRAMP_LLD_LINK} ${CLOCKRAMP_IA32_LINK_FLAGS} /entry:${ARG_ENTRY}
            /map:${map} /implib:${obj_dir}/${out_stem}.lib /out:${ARG_OUTPUT} ${objects}
    DEPENDS ${objects}
    COMMENT "Linking ${out_stem}.efi (PE32, IA-32)"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${ARG_OUTPUT}" "${map}")
endfunction()
