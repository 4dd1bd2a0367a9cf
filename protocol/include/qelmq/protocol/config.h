#pragma once
// The collector configuration the runtime reads: its file, its keys and
// their limits, and the environment variable that names another file. The
// collector writes such a file for the processes it starts.
#include <cstddef>

namespace qel_wire {

// Beside the executable of the program under test.
inline constexpr const char* kConfigFileName = "Server.cfg";
// Names a file read in place of the one beside the executable.
inline constexpr const char* kConfigVariable = "QELMQ_CONFIG";

// Lines "key=value"; a line naming several keys counts as the first of
// these it names, in this order.
inline constexpr const char* kKeyAddress = "config_ip";
inline constexpr const char* kKeyMode = "config_state";
inline constexpr const char* kKeyNoMcdc = "no_mcdc";

// The collector's address: a dotted IPv4 address. A longer value forces
// bind mode and ends the reading.
inline constexpr std::size_t kMaxAddressLength = 15;
// The mode value that makes every sender connect to the address; anything
// else binds on all interfaces.
inline constexpr const char* kConnectMode = "1";

// Buffer sizes of the three values, terminator included.
inline constexpr std::size_t kAddressBufferSize = 128;
inline constexpr std::size_t kModeBufferSize = 2;
inline constexpr std::size_t kNoMcdcBufferSize = 2;

// Delivery keys, matched at the start of their line (a spool path may well
// contain another key's name). qelcollect names the spool directory for the
// processes it starts; a team may set the wait in its own file.
// The directory where a process spools what no socket could deliver.
inline constexpr const char* kKeySpoolDir = "spool_dir";
// How long, counted from the runtime's start, the shutdown waits for a
// collector when data is still undelivered and no peer is connected.
inline constexpr const char* kKeyCollectorWait = "collector_wait_ms";
// The same bound from the environment; it wins over the file.
inline constexpr const char* kCollectorWaitVariable = "QELMQ_COLLECTOR_WAIT_MS";
// Long enough for a peer retrying at ZeroMQ's default 100 ms reconnect interval.
inline constexpr unsigned kDefaultCollectorWaitMs = 500;
inline constexpr unsigned kMaxCollectorWaitMs = 60000;

}  // namespace qel_wire
