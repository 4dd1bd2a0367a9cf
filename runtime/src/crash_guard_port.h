#pragma once
// The seam inside the crash guard: crash_guard.cpp holds what every system
// shares (the flush thread, the one-request-at-a-time protocol, the flush
// itself); crash_guard_posix.cpp (fatal signals) or crash_guard_win32.cpp
// (unhandled exceptions and abort()) catches the crash, the build picks one.
#include <cstddef>
#include <cstdint>

namespace qel_crash {

// ---- the shared part, for the system's handlers ---------------------------

// Flushes the runtime for a crash of the calling thread: the flush thread
// does the work, this call only hands it over and waits, about a second at
// most. While another thread's crash is being flushed it waits for that one
// instead (same bound): the data is the same. Does nothing on the flush
// thread itself (it would wait for itself) or in a process that is not
// armed. Async-signal-safe on POSIX.
void flush_for_crash(const char* type, const char* cause);

// A short text built without allocation, locale or stdio (async-signal-safe):
// the cause a handler names ("SIGSEGV (signal 11)"). Cut at its capacity.
class CauseText {
 public:
  CauseText& add(const char* text);
  CauseText& add_decimal(uint32_t value);
  // "0x" and eight upper-case hexadecimal digits, as Windows writes a status.
  CauseText& add_hex32(uint32_t value);
  const char* c_str() const { return text_; }

 private:
  static constexpr std::size_t kCapacity = 128;
  char text_[kCapacity] = "";
  std::size_t length_ = 0;
};

// ---- the system's part ----------------------------------------------------
namespace platform {

// Puts the runtime's handlers in place, keeping the ones found as the
// handlers to hand each crash on to afterwards. Called by arm() before the
// flush thread starts; a process (or a fork child) that has them already
// keeps them.
void install_handlers();

// Puts back the handlers found, where the runtime's own is still the one in
// place (a program that replaced it keeps its own). Called by disarm().
void restore_handlers();

// Called by the flush thread whenever it has been idle for a while (about
// every 100 ms): handlers the program installed since are wrapped too, so
// that a crash still flushes first and then reaches the program's handler.
void rewrap_handlers();

// The program's name for the crash report ("crash_probe", "demo.exe").
void program_name(char* out, std::size_t size);

}  // namespace platform

}  // namespace qel_crash
