#!/bin/sh
# Writes the assembly of a link-time stand-in for a shared library: the same
# dynamic symbols (functions, objects and thread-local objects with their
# binding, type and size) and nothing else, no dependencies of its own. A
# program linked against it records the real library's soname and loads the
# real library; the linker reads a few kilobytes instead of the library and,
# through its dependencies, libstdc++'s symbol table.
# Usage: link_stub.sh READELF LIBRARY OUTPUT.s
set -eu
"$1" --dyn-syms -W "$2" | awk '
  function num(s,   v, i) {
    if (s !~ /^0x/) return s + 0
    v = 0
    for (i = 3; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", tolower(substr(s, i, 1))) - 1
    return v
  }
  NR > 3 && $7 != "UND" && $8 != "" && ($4 == "FUNC" || $4 == "IFUNC" || $4 == "OBJECT" || $4 == "TLS") {
    name = $8
    sub(/@.*/, "", name)
    bind = $5 == "WEAK" ? ".weak" : ".globl"
    size = num($3)
    if ($4 == "FUNC" || $4 == "IFUNC") {
      printf "\t.text\n\t%s %s\n\t.type %s, @function\n%s:\n\tret\n", bind, name, name, name
    } else {
      if ($4 == "TLS") printf "\t.section .tbss,\"awT\",@nobits\n"; else printf "\t.bss\n"
      kind = $4 == "TLS" ? "tls_object" : "object"
      space = size > 0 ? size : 1
      printf("\t%s %s\n\t.type %s, @%s\n\t.size %s, %d\n%s:\n\t.zero %d\n", bind, name, name,
             kind, name, size, name, space)
    }
    n++
  }
  END {
    printf "\t.section .note.GNU-stack,\"\",@progbits\n"
    if (n == 0) exit 1
  }' > "$3"
