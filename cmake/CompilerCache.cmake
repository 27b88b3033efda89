# Compiling through ccache (scripts/deps.sh installs it), set up so that a
# second clone of the project, wherever it lies, finds the objects the first
# one compiled:
# - base_dir is the source root: ccache rewrites every absolute path below it
#   (include folders, sources, objects, the precompiled headers) relative to
#   the compiler's working folder before it hashes the command line;
# - the debug information calls the source root "." (-fdebug-prefix-map), so
#   the working folder that ccache hashes when compiling with -g is the same
#   in every clone, and an object from the cache describes this clone's files;
# - paths that the code must know (the image a tool reads by default, the
#   test data) come from a generated source per target
#   (cmake/BuildPaths.cmake), not from -D flags that differ by clone;
# - precompiled headers: ccache hashes the .gch it finds beside the header
#   named by -include; its defines are checked by the compiler (pch_defines).
# The settings travel in each compile's environment, so they hold without a
# ccache.conf. -DCLOCKRAMP_CCACHE=OFF compiles without ccache; a launcher given
# on the command line is used as it is.
#
# CLOCKRAMP_COMPILER_LAUNCHER: the launcher, for compile commands of our own
# (the IA-32 images).

option(CLOCKRAMP_CCACHE "Compile through ccache when it is installed" ON)

if(CMAKE_CXX_COMPILER_LAUNCHER)
  set(CLOCKRAMP_COMPILER_LAUNCHER ${CMAKE_CXX_COMPILER_LAUNCHER})
elseif(CLOCKRAMP_CCACHE)
  find_program(CLOCKRAMP_CCACHE_PROGRAM ccache)
  find_program(CLOCKRAMP_ENV_PROGRAM env)
  if(CLOCKRAMP_CCACHE_PROGRAM AND CLOCKRAMP_ENV_PROGRAM)
    set(CLOCKRAMP_COMPILER_LAUNCHER
      ${CLOCKRAMP_ENV_PROGRAM}
      CCACHE_BASEDIR=${PROJECT_SOURCE_DIR}
      CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
      ${CLOCKRAMP_CCACHE_PROGRAM})
    set(CMAKE_C_COMPILER_LAUNCHER ${CLOCKRAMP_COMPILER_LAUNCHER})
    set(CMAKE_CXX_COMPILER_LAUNCHER ${CLOCKRAMP_COMPILER_LAUNCHER})
  endif()
endif()

add_compile_options(-fdebug-prefix-map=${PROJECT_SOURCE_DIR}=.)
