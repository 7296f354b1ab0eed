#!/usr/bin/env bash
# Succeeds where this machine runs 32-bit x86 programs: the smallest one, which only exits with
# status 0, is written out byte by byte (no assembler needed on a fresh machine) and run. Wine's
# 32-bit part (wine32) goes only where it does: elsewhere the `wine` launcher would take its 32-bit
# loader for every program, and the 64-bit ones would stop too.
set -u
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
# The ELF header (32-bit, little-endian, an executable for i386, entry 0x08048054), one loadable
# segment of the whole file at 0x08048000, then the code: mov $1,%eax; xor %ebx,%ebx; int $0x80.
elf_header='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00'
elf_header+='\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00'
elf_header+='\x00\x00\x00\x00\x00\x00'
segment='\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00'
segment+='\x05\x00\x00\x00\x00\x10\x00\x00'
code='\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80'
printf "$elf_header$segment$code" >"$probe/exit"
chmod +x "$probe/exit"
"$probe/exit" >/dev/null 2>&1
