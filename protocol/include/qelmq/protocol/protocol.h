#pragma once
// The whole contract between the runtime and its peers, for those that use
// most of it.
#include "qelmq/protocol/config.h"
#include "qelmq/protocol/endpoints.h"
#include "qelmq/protocol/messages.h"
#include "qelmq/protocol/probe_decls.h"
#include "qelmq/protocol/records.h"
#include "qelmq/protocol/texts.h"
#include "qelmq/protocol/version.h"
