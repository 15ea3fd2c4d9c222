# Sourced after tools/wine/wine-env.sh by anything that needs one Wine process to read another's
# memory (Kelvor's intake, minidumps, stack walks).
# Under qemu-i386 Wine's server reads a process's memory at the guest address; that is the host
# address only when qemu's guest base is 0. qemu can reserve the low 2 GiB from 0x10000 when the
# kernel refuses lower mappings by its own rule (vm.mmap_min_addr of 65536, the common default);
# a smaller value makes qemu ask for 0x1000 and fail.
if [ -n "${QEMU_RESERVED_VA:-}" ]; then
  min_addr="$(cat /proc/sys/vm/mmap_min_addr 2>/dev/null || echo 65536)"
  if [ "$min_addr" -lt 65536 ]; then
    echo 65536 > /proc/sys/vm/mmap_min_addr 2>/dev/null ||
      echo "guest-base: vm.mmap_min_addr is $min_addr; set it to 65536 (as root) for cross-process reads" >&2
  fi
  export QEMU_GUEST_BASE=0
fi
