# The driver's eBPF program: compiled with clang's BPF target against the build machine's kernel
# types (CO-RE: the loader fits the program to the running kernel), turned into a libbpf
# skeleton, and built into vantor-procdrv. Without clang, bpftool, libbpf or the kernel's type
# information the driver is built without it and reads the process connector.
option(TARNWICK_BPF "Build vantor-procdrv's eBPF program where the tools are found" ON)

function(procdrv_add_bpf target)
  if(NOT TARNWICK_BPF)
    message(STATUS "vantor-procdrv: eBPF off (TARNWICK_BPF)")
    return()
  endif()
  find_program(TARNWICK_BPF_CLANG NAMES clang clang-16 clang-15 clang-14)
  find_program(TARNWICK_BPFTOOL bpftool PATHS /usr/sbin /sbin)
  find_library(TARNWICK_LIBBPF bpf)
  find_path(TARNWICK_LIBBPF_INCLUDE bpf/libbpf.h)
  set(btf /sys/kernel/btf/vmlinux)
  set(missing "")
  foreach(need TARNWICK_BPF_CLANG TARNWICK_BPFTOOL TARNWICK_LIBBPF TARNWICK_LIBBPF_INCLUDE)
    if(NOT ${need})
      list(APPEND missing ${need})
    endif()
  endforeach()
  if(NOT EXISTS ${btf})
    list(APPEND missing ${btf})
  endif()
  if(missing)
    message(STATUS "vantor-procdrv: no eBPF program, as these are missing: ${missing}")
    return()
  endif()
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
    set(arch x86)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64|arm64")
    set(arch arm64)
  else()
    message(STATUS "vantor-procdrv: no eBPF program for ${CMAKE_SYSTEM_PROCESSOR}")
    return()
  endif()
  set(source ${PROJECT_SOURCE_DIR}/tools/procdrv/bpf)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/procdrv-bpf)
  file(MAKE_DIRECTORY ${out})
  add_custom_command(
    OUTPUT ${out}/vmlinux.h
    COMMAND ${TARNWICK_BPFTOOL} btf dump file ${btf} format c > ${out}/vmlinux.h.new
    COMMAND ${CMAKE_COMMAND} -E rename ${out}/vmlinux.h.new ${out}/vmlinux.h
    COMMENT "Dumping the kernel's types for the eBPF program")
  add_custom_command(
    OUTPUT ${out}/process_events.bpf.o
    COMMAND ${TARNWICK_BPF_CLANG} -g -O2 -Wall -target bpf -D__TARGET_ARCH_${arch}
            -I${out} -I${source} -c ${source}/process_events.bpf.c -o ${out}/process_events.bpf.o
    DEPENDS ${source}/process_events.bpf.c ${source}/process_events.h ${out}/vmlinux.h
    COMMENT "Compiling the eBPF program")
  add_custom_command(
    OUTPUT ${out}/process_events.skel.h
    COMMAND ${TARNWICK_BPFTOOL} gen skeleton ${out}/process_events.bpf.o name process_events
            > ${out}/process_events.skel.h.new
    COMMAND ${CMAKE_COMMAND} -E rename ${out}/process_events.skel.h.new ${out}/process_events.skel.h
    DEPENDS ${out}/process_events.bpf.o
    COMMENT "Making the eBPF program's skeleton")
  add_custom_target(${target}-bpf DEPENDS ${out}/process_events.skel.h)
  add_dependencies(${target} ${target}-bpf)
  target_include_directories(${target} PRIVATE ${out} ${TARNWICK_LIBBPF_INCLUDE})
  target_compile_definitions(${target} PRIVATE TARNWICK_WITH_BPF)
  target_link_libraries(${target} PRIVATE ${TARNWICK_LIBBPF})
  message(STATUS "vantor-procdrv: with its eBPF program")
endfunction()
