#pragma once
// The whole contract between the runtime and its peers, for those that use
// most of it.
//
// Adding to it: a new kind of message is a new layout in messages.h (or a
// text in texts.h) with its size checked here, sent on a new row of the
// endpoint table or as a new kind byte of an existing channel, and a case in
// the collector's decoder; protocol_test then takes it from the runtime's
// encoder through that decoder. MC/DC vectors wider than one 32-bit code
// word and the map identity of counted units came in this way; so are
// announcements of a process's start and end (with per-channel message
// totals) meant to. Whether one changes kProtocolVersion is said in
// version.h.
#include "qelmq/protocol/config.h"
#include "qelmq/protocol/counter_paths.h"
#include "qelmq/protocol/counters.h"
#include "qelmq/protocol/endpoints.h"
#include "qelmq/protocol/messages.h"
#include "qelmq/protocol/probe_decls.h"
#include "qelmq/protocol/records.h"
#include "qelmq/protocol/texts.h"
#include "qelmq/protocol/version.h"
