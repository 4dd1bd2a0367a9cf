#pragma once
// The version of the contract between the runtime and its peers (the
// collector and the instrumenter).
//
// It goes up by one whenever a peer built against the old headers would
// misread the new runtime or be misread by it: a port, a layout, a marker,
// a code, a text's fixed part, a configuration key, or a probe's signature
// changes, or a message kind goes away. Additions an old peer can ignore (a
// new channel at the end of the table, a new message kind on a new port, a
// new key) do not change it.
#include <cstdint>

namespace qel_wire {

// Process announcements (texts.h) came within 2: they are property
// messages of the empty prefix, which a peer of 2 keeps as texts it does not
// know.
//
// 2: counters in the program. Decisions of 17 to 64 conditions send wide
// MC/DC messages (33 bytes) on the MC/DC channel, and counted units announce
// their map identity on the node channel (16 bytes); a peer of version 1
// would take both for malformed messages. Units register their counters
// through the ABI of counters.h, versioned on its own (QEL_COUNTERS_ABI).
//
// Still 2: the module texts (a program's or library's path, LoadedModule in
// texts.h) are an addition that an older collector keeps as property texts
// it does not understand.
inline constexpr uint32_t kProtocolVersion = 2;

}  // namespace qel_wire
