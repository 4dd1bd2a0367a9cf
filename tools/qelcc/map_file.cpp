#include "map_file.h"

#include "process.h"

namespace qelcc {

namespace {

// An option the assembler gets (-Wa,A,B or -Xassembler A) that has it write
// a dependency list.
bool AssemblerDependencies(const std::string& option) { return StartsWith(option, "--MD"); }

}  // namespace

bool MapFromFile(const Invocation& inv, qel::mapsection::ObjectFormat format) {
  // PE/COFF gets the map as an array the compiler places (its own notion of
  // the current section stays right); other formats get no section at all.
  if (format != qel::mapsection::ObjectFormat::kElf) return false;
  // -S keeps assembly that is assembled later, if ever, after the file is
  // gone; -E, -fsyntax-only and the like assemble nothing.
  if (inv.stage != Stage::kObject && inv.stage != Stage::kLink) return false;
  // A launcher before the compiler (qelcc ccache gcc) may compile elsewhere
  // (distcc, icecc, sccache's distributed mode), where the file is not, and
  // a cache keys its entry by the text: the file's random name would make
  // every lookup miss. The same holds for a compiler that is a launcher
  // under the compiler's name (/usr/lib/ccache/gcc, a link to ccache).
  if (inv.compiler.size() > 1) return false;
  if (!inv.compiler.empty() && IsLauncher(ResolveCommand(inv.compiler.back()))) return false;
  bool lto = false;
  for (size_t i = 0; i < inv.args.size(); ++i) {
    const std::string& a = inv.args[i];
    // The kept temporaries include the assembly, which names the file.
    if (StartsWith(a, "-save-temps") || StartsWith(a, "--save-temps")) return false;
    // LLVM's own code, not an object: its top-level asm is assembled by
    // whatever compiles it, later.
    if (StartsWith(a, "-emit-llvm")) return false;
    // The object also carries the unit as bitcode, which may be compiled
    // again elsewhere, top-level asm included.
    if (StartsWith(a, "-fembed-bitcode") && a != "-fembed-bitcode=off") return false;
    // The assembler's dependency list would name the temporary file, and a
    // build that reads it would then look for a file that is gone.
    if (StartsWith(a, "-Wa,")) {
      size_t at = 3;
      while (at != std::string::npos) {
        const size_t next = a.find(',', at + 1);
        if (AssemblerDependencies(
                a.substr(at + 1, next == std::string::npos ? next : next - at - 1)))
          return false;
        at = next;
      }
    }
    if (a == "-Xassembler" && i + 1 < inv.args.size() && AssemblerDependencies(inv.args[i + 1]))
      return false;
    // Link-time optimisation: the unit's top-level asm goes into the
    // object as the compiler's intermediate code and is assembled when the
    // program is linked. The last of -flto* and -fno-lto decides.
    if (StartsWith(a, "-flto")) lto = true;
    if (a == "-fno-lto") lto = false;
  }
  return !lto;
}

}  // namespace qelcc
