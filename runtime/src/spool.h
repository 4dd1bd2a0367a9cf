#pragma once
// The spool: messages no socket could deliver, appended to a file of this
// process that the collector reads at the end of its run. qelcollect names
// the directory in the configuration it hands the programs it starts; without
// it there is no spool and such messages are dropped (and counted).
#include <cstddef>
#include <cstdint>
#include <string>

#include "qelmq/protocol/endpoints.h"

namespace qel_spool {

// Called by the bootstrap, before the senders' threads start: `dir` empty
// means no spool. The file is "<dir>/<pid>.qelspool", opened at its first use.
void configure(const std::string& dir);
bool enabled();

// Appends one message of `channel`. While the runtime runs it is written at
// once; during a shutdown or a crash flush it is buffered until flush() (or
// until the buffer is large). False when there is no spool or the message
// cannot be kept; the delivery tally learns the fate of buffered ones.
bool put(qel_wire::Channel channel, const void* data, std::size_t len);

// Writes what is buffered. The shutdown calls it once every sender has
// ended, a crash flush once its leave operations are done.
void flush();

// Messages of `channel` taken and not yet written (they are in the tally
// once written); 0 when the lock cannot be had at once.
uint64_t buffered(qel_wire::Channel channel);

// The file of this process (empty without a spool).
std::string path();

// In the child of a fork: forgets the parent's descriptor and buffer (the
// parent writes those) and releases the lock a parent's thread may hold.
void reset_in_fork_child();

// Above this many buffered bytes, put() writes them out at once.
constexpr std::size_t kBufferLimit = 64 * 1024;

}  // namespace qel_spool
