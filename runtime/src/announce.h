#pragma once
// The announcements of a runtime instance: its start (pid, program, protocol
// version) and, when its stream ends, what it delivered per channel, so that
// a collector can tell a process whose stream never finished or whose
// messages did not all arrive (qelmq/protocol/texts.h). Both go over the
// property channel and into the spool like every other message.
#include <cstdint>

namespace qel_announce {

// The bootstrap: a new stream of this process, not yet announced.
void begin_stream();

// Sends the start once per stream. The crash sender's thread calls it as
// soon as the property socket is open, so the program's start waits for
// nothing; an end sends it first if it has not gone yet.
void announce_start();

// With a spool: the bootstrap writes the start straight into it, so that a
// collector reading the spool files during the run learns of the process
// at once, whether or not it ever opens a socket. Without one, or when the
// spool does not take it, the start goes as announce_start says.
void announce_start_to_spool();

// Sends the end: the tally of messages that left over a socket or went into
// the spool, this message included. The shutdown, the crash flush, leave
// operations and exec call it once their senders have settled; a later end
// of the same stream (the program went on) supersedes it. Waits at most
// `wait_ms` for the property channel's lock. With `flush` it returns once
// the end has left the process (or the leave bound passed): the process may
// be replaced (exec) or die (a crash) next. The shutdown needs none: its
// context's termination delivers what the sockets hold.
void announce_end(unsigned wait_ms, bool flush);

// The stream's id (tests).
uint64_t stream_id();

}  // namespace qel_announce
