/* The probe declarations that qelcc writes into every unit it instruments,
   declared again after the runtime's exported header: C rejects a
   redeclaration whose type differs, so the two cannot drift apart. */
#include "qelmq/probes.h"
#include "qelmq/protocol/probe_decls.h"

QEL_PROBES_COVERAGE(QEL_PROBE_DECL)
QEL_PROBES_VALUES(QEL_PROBE_DECL)
QEL_PROBES_MEMORY(QEL_PROBE_DECL)
