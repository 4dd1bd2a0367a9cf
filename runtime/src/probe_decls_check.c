/* The probe declarations that qelcc writes into every unit it instruments,
   declared again after the runtime's exported header: C rejects a
   redeclaration whose type differs, so the two cannot drift apart. The
   counters' structures and table are written as qelcc writes them. */
#include "qelmq/probes.h"
#include "qelmq/protocol/counters.h"
#include "qelmq/protocol/probe_decls.h"

QEL_COUNTERS_DECLARATIONS
#ifndef _WIN32
QEL_COUNTER_TABLE_DECLARATION
#endif

QEL_PROBES_COVERAGE(QEL_PROBE_DECL)
QEL_PROBES_VALUES(QEL_PROBE_DECL)
QEL_PROBES_MEMORY(QEL_PROBE_DECL)
QEL_COUNTER_FUNCTIONS(QEL_PROBE_DECL)
#ifndef _WIN32
QEL_PROBES_EXEC(QEL_PROBE_DECL)
#endif
